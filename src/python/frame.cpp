#include "frame.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace qel_py {

namespace {

constexpr long kMaxCount = 4294967295L;

bool intern_names(const Signature& sig) {
    if (sig.params.size() > kMaxParams) throw std::logic_error("parameter table too long");
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
        if (sig.interned[i] != nullptr) continue;
        PyObject* name = PyUnicode_InternFromString(sig.params[i].name);
        if (name == nullptr) return false;
        sig.interned[i] = name;  // kept for the life of the process
    }
    return true;
}

// Pointer identity catches the usual case of interned keyword names; the text
// comparison catches names built at run time.
std::optional<std::size_t> find_keyword(const Signature& sig, PyObject* key) {
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
        if (sig.interned[i] == key) return i;
    }
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(key, sig.params[i].name) == 0) return i;
    }
    return std::nullopt;
}

bool raise_too_many(const Signature& sig, Py_ssize_t given) {
    const auto total = static_cast<Py_ssize_t>(sig.params.size());
    const auto required = static_cast<Py_ssize_t>(sig.required);
    const char* verb = given == 1 ? "was" : "were";
    if (required == total) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd %s given", sig.name, total, given,
                     verb);
    } else {
        PyErr_Format(PyExc_TypeError, "%s() takes from %zd to %zd positional arguments but %zd %s given", sig.name,
                     required, total, given, verb);
    }
    return false;
}

bool raise_missing(const Signature& sig, const std::array<PyObject*, kMaxParams>& slots) {
    std::array<const char*, kMaxParams> missing{};
    std::size_t count = 0;
    for (std::size_t i = 0; i < sig.required; ++i) {
        if (slots[i] == nullptr) missing[count++] = sig.params[i].name;
    }
    if (count == 0) return true;
    std::string text = std::string(sig.name) + "() missing " + std::to_string(count) +
                       " required positional argument" + (count > 1 ? "s" : "") + ": ";
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) text += i + 1 == count ? " and " : ", ";
        text += '\'';
        text += missing[i];
        text += '\'';
    }
    PyErr_SetString(PyExc_TypeError, text.c_str());
    return false;
}

bool raise_not_str(const Param& param, PyObject* obj) {
    Ref type_name{PyType_GetName(Py_TYPE(obj))};
    if (!type_name) return false;
    PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object cannot be converted to 'PyString'", param.name,
                 type_name.get());
    return false;
}

bool convert_text(const Param& param, PyObject* obj, std::string_view& out) {
    if (!PyUnicode_Check(obj)) return raise_not_str(param, obj);
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);  // UnicodeEncodeError for lone surrogates
    if (data == nullptr) return false;
    out = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

bool convert_count(const Param& param, PyObject* obj, std::uint32_t& out) {
    const long value = PyLong_AsLong(obj);
    if (value == -1 && PyErr_Occurred()) {
        // Only the "not an integer" failure is reworded; CPython's own
        // OverflowError for values beyond a C long passes through.
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
        Ref raised{PyErr_GetRaisedException()};
        Ref text{PyObject_Str(raised.get())};
        if (!text) return false;
        PyErr_Format(PyExc_TypeError, "argument '%s': %U", param.name, text.get());
        return false;
    }
    if (value < 0 || value > kMaxCount) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = static_cast<std::uint32_t>(value);
    return true;
}

// An int in [0, 2**64): TypeError for anything else, OverflowError outside.
bool convert_u64(const Param& param, PyObject* obj, std::uint64_t& out) {
    if (!PyLong_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be interpreted as an integer", param.name,
                     Py_TYPE(obj)->tp_name);
        return false;
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(obj);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = value;
    return true;
}

PyObject* g_panic_type = nullptr;

}  // namespace

bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                    Arguments& out) {
    if (!intern_names(sig)) return false;
    const std::size_t total = sig.params.size();
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);

    std::array<PyObject*, kMaxParams> slots{};
    if (static_cast<std::size_t>(nargs) > total) return raise_too_many(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[static_cast<std::size_t>(i)] = args[i];

    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        const auto index = find_keyword(sig, key);
        if (!index) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name, key);
            return false;
        }
        if (slots[*index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.name,
                         sig.params[*index].name);
            return false;
        }
        slots[*index] = args[nargs + k];
    }
    if (!raise_missing(sig, slots)) return false;

    out.sig_ = &sig;
    for (std::size_t i = 0; i < total; ++i) {
        const Param& param = sig.params[i];
        PyObject* obj = slots[i];
        Arguments::Value& value = out.values_[i];
        const bool absent = obj == nullptr || obj == Py_None;
        switch (param.kind) {
            case ParamKind::Text:
                if (obj == nullptr) throw std::logic_error("optional parameter declared as required text");
                if (!convert_text(param, obj, value.text)) return false;
                value.present = true;
                break;
            case ParamKind::OptText:
                if (absent) break;
                if (!convert_text(param, obj, value.text)) return false;
                value.present = true;
                break;
            case ParamKind::OptPath:
                if (absent) break;
                if (!convert_text(param, obj, value.text)) return false;
                // The file system would see the path cut at the NUL, as
                // Python's own file functions refuse to.
                if (value.text.find('\0') != std::string_view::npos) {
                    PyErr_SetString(PyExc_ValueError, "embedded null byte");
                    return false;
                }
                value.present = true;
                break;
            case ParamKind::OptCount:
                if (absent) break;
                if (!convert_count(param, obj, value.count)) return false;
                value.present = true;
                break;
            case ParamKind::U64:
                if (obj == nullptr) throw std::logic_error("optional parameter declared as a required integer");
                if (!convert_u64(param, obj, value.u64)) return false;
                value.present = true;
                break;
            case ParamKind::OptObject:
                if (absent) break;
                value.object = obj;
                value.present = true;
                break;
            case ParamKind::CountDefault12:
                value.present = true;
                if (obj == nullptr) {
                    value.count = 12;
                } else if (!convert_count(param, obj, value.count)) {
                    return false;
                }
                break;
        }
    }
    return true;
}

const Arguments::Value& Arguments::slot(std::size_t i, ParamKind expected) const {
    if (sig_ == nullptr || i >= sig_->params.size() || sig_->params[i].kind != expected) {
        throw std::logic_error("argument " + std::to_string(i) + " read as the wrong kind");
    }
    return values_[i];
}

std::string_view Arguments::text(std::size_t i) const { return slot(i, ParamKind::Text).text; }

std::optional<std::string_view> Arguments::opt_text(std::size_t i) const {
    const Value& v = slot(i, ParamKind::OptText);
    if (!v.present) return std::nullopt;
    return v.text;
}

std::optional<std::filesystem::path> Arguments::opt_path(std::size_t i) const {
    const Value& v = slot(i, ParamKind::OptPath);
    if (!v.present) return std::nullopt;
    return std::filesystem::path(v.text);
}

std::optional<std::uint32_t> Arguments::opt_count(std::size_t i) const {
    const Value& v = slot(i, ParamKind::OptCount);
    if (!v.present) return std::nullopt;
    return v.count;
}

std::uint32_t Arguments::count(std::size_t i) const { return slot(i, ParamKind::CountDefault12).count; }

std::uint64_t Arguments::u64(std::size_t i) const { return slot(i, ParamKind::U64).u64; }

PyObject* Arguments::opt_object(std::size_t i) const { return slot(i, ParamKind::OptObject).object; }

PyObject* to_str(std::string_view text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* to_int(long value) { return PyLong_FromLong(value); }

PyObject* none() { Py_RETURN_NONE; }

PyObject* new_dict() { return PyDict_New(); }

namespace {
// Result keys are a handful of literals (string literals live as long as
// the module and keep their address); interning each once spares a string
// creation and a hash per key per record (a listing makes hundreds of
// thousands). The module lives in one interpreter only, so the cache can too.
PyObject* key_object(const char* key) {
    struct Entry {
        const char* literal;
        PyObject* object;
    };
    static std::vector<Entry> cache;
    for (const Entry& e : cache) {
        if (e.literal == key) return e.object;
    }
    PyObject* object = PyUnicode_InternFromString(key);
    if (object != nullptr) cache.push_back({key, object});
    return object;
}
}  // namespace

bool set_literal_item(PyObject* dict, const char* key, PyObject* value) {
    Ref owned{value};
    if (!owned) return false;
    PyObject* key_obj = key_object(key);
    if (key_obj == nullptr) return false;
    return PyDict_SetItem(dict, key_obj, owned.get()) == 0;
}

bool set_text_item(PyObject* dict, std::string_view key, PyObject* value) {
    Ref owned{value};
    if (!owned) return false;
    Ref key_obj{to_str(key)};
    if (!key_obj) return false;
    return PyDict_SetItem(dict, key_obj.get(), owned.get()) == 0;
}

PyObject* raise_operation_error(const qel_lib::QelLibError& error) {
    if (error.kind() == qel_lib::QelLibError::Kind::Interrupted && PyErr_Occurred() != nullptr) return nullptr;
    const std::string message = error.message();
    // Messages can quote file or network content; replacing undecodable bytes
    // keeps the RuntimeError instead of trading it for a UnicodeDecodeError.
    Ref text{PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace")};
    if (!text) return nullptr;
    PyErr_SetObject(PyExc_RuntimeError, text.get());
    return nullptr;
}

namespace {
// How often a waiting call takes the interpreter lock back to look for
// signals and cancellation.
constexpr std::chrono::milliseconds kStopCheckInterval{50};
}  // namespace

Released::Released(PyObject* cancel) : environment_(qel_core::Environment::capture()), cancel_(cancel) {
    state_ = PyEval_SaveThread();
    released_ = true;
    scope_.emplace(environment_, [this] { return stop_requested(); });
}

Released::~Released() {
    scope_.reset();
    if (released_) reacquire();
}

void Released::reacquire() noexcept {
    scope_.reset();
    if (!released_) return;
    released_ = false;
    PyEval_RestoreThread(state_);
}

bool Released::stop_requested() {
    if (stopped_) return true;
    const auto now = std::chrono::steady_clock::now();
    if (now < next_check_) return false;
    next_check_ = now + kStopCheckInterval;
    with_lock([this] {
        // A handler that raised leaves its exception (KeyboardInterrupt) set;
        // the call then ends with it.
        if (PyErr_CheckSignals() != 0) {
            stopped_ = true;
            return;
        }
        if (cancel_ == nullptr) return;
        Ref answer{PyObject_CallMethod(cancel_, "is_set", nullptr)};
        // A cancel object that fails to answer stops the call with its error.
        stopped_ = !answer || PyObject_IsTrue(answer.get()) != 0;
    });
    return stopped_;
}

PyObject* panic_exception_type() {
    if (g_panic_type != nullptr) return g_panic_type;
    // Only an already imported package is consulted: importing here could run
    // arbitrary code in the middle of reporting a fault.
    Ref package_name{PyUnicode_FromString("qel")};
    if (!package_name) return nullptr;
    Ref package{PyImport_GetModule(package_name.get())};
    if (package) {
        Ref type{PyObject_GetAttrString(package.get(), "PanicException")};
        if (type && PyType_Check(type.get()) &&
            PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(type.get()),
                             reinterpret_cast<PyTypeObject*>(PyExc_BaseException))) {
            g_panic_type = type.release();
            return g_panic_type;
        }
    }
    PyErr_Clear();
    g_panic_type = PyErr_NewException("qel._native.PanicException", PyExc_BaseException, nullptr);
    return g_panic_type;
}

PyObject* report_fault(const std::exception_ptr& fault) noexcept {
    try {
        const char* text = "unknown internal fault";
        if (fault) {
            try {
                std::rethrow_exception(fault);
            } catch (const std::exception& e) {
                text = e.what();  // the exception object lives on in `fault`
            } catch (...) {
            }
        }
        PyErr_Clear();
        PyObject* type = panic_exception_type();
        if (type == nullptr) return nullptr;
        Ref message{PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "replace")};
        if (!message) return nullptr;
        PyErr_SetObject(type, message.get());
        return nullptr;
    } catch (...) {
        std::fputs("uncaught panic at ffi boundary\n", stderr);
        std::fflush(stderr);
        std::abort();
    }
}

namespace detail {
void forget_panic_type() noexcept { Py_CLEAR(g_panic_type); }
}  // namespace detail

}  // namespace qel_py
