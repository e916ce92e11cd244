#pragma once

// The call boundary between Python and the wallet operations: one parameter
// table per function, one binder for all of them, result conversions, and the
// guard that keeps C++ faults from unwinding into the interpreter.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "qel_core/call_context.hpp"
#include "qel_lib/error.hpp"

namespace qel_py {

enum class ParamKind {
    Text,             // str, required
    OptText,          // absent, None or str
    OptPath,          // absent, None or str without NUL; used as a file-system path
    OptCount,         // absent, None or int in [0, 2**32)
    CountDefault12,   // absent (12) or int in [0, 2**32); None refused
    U64,              // int in [0, 2**64), required
    OptObject,        // absent, None or any object (borrowed for the call)
};

struct Param {
    const char* name;
    ParamKind kind;
};

inline constexpr std::size_t kMaxParams = 8;

// A function's parameter list. Every parameter is positional-or-keyword; the
// leading `required` ones must be supplied. The interned names are filled on
// first use so keyword lookup can compare pointers before comparing text.
struct Signature {
    const char* name;
    std::span<const Param> params;
    std::size_t required;
    mutable std::array<PyObject*, kMaxParams> interned{};
};

// The converted arguments of one call. Texts borrow the caller's str objects,
// which outlive the call. Reading a slot as the wrong kind is a programming
// error and throws std::logic_error (caught by the fault guard).
class Arguments {
public:
    [[nodiscard]] std::string_view text(std::size_t i) const;
    [[nodiscard]] std::optional<std::string_view> opt_text(std::size_t i) const;
    [[nodiscard]] std::optional<std::filesystem::path> opt_path(std::size_t i) const;
    [[nodiscard]] std::optional<std::uint32_t> opt_count(std::size_t i) const;
    [[nodiscard]] std::uint32_t count(std::size_t i) const;
    [[nodiscard]] std::uint64_t u64(std::size_t i) const;
    // Borrowed; nullptr when absent or None.
    [[nodiscard]] PyObject* opt_object(std::size_t i) const;

private:
    friend bool bind_arguments(const Signature&, PyObject* const*, Py_ssize_t, PyObject*, Arguments&);

    struct Value {
        bool present = false;
        std::string_view text;
        std::uint32_t count = 0;
        std::uint64_t u64 = 0;
        PyObject* object = nullptr;
    };
    const Value& slot(std::size_t i, ParamKind expected) const;

    const Signature* sig_ = nullptr;
    std::array<Value, kMaxParams> values_{};
};

// Binds a vectorcall argument list to `sig` and converts every parameter.
// On failure returns false with the Python error indicator set.
[[nodiscard]] bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                                  Arguments& out);

// Owning reference; releases on scope exit so partly built results never leak.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    [[nodiscard]] PyObject* get() const noexcept { return p_; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// Result conversions. Each returns a new reference or nullptr with an error set.
[[nodiscard]] PyObject* to_str(std::string_view text);
[[nodiscard]] PyObject* to_int(long value);
[[nodiscard]] PyObject* none();

[[nodiscard]] PyObject* new_dict();
// Stores `value` (a new reference, consumed even on failure) under `key`;
// false with an error set when `value` is nullptr or the store fails.
// A literal key is made into a string once and kept, found again by its
// address; a key made at run time takes set_text_item, which makes it anew.
[[nodiscard]] bool set_literal_item(PyObject* dict, const char* key, PyObject* value);
template <std::size_t N>
[[nodiscard]] bool set_item(PyObject* dict, const char (&key)[N], PyObject* value) {
    return set_literal_item(dict, key, value);
}
[[nodiscard]] bool set_text_item(PyObject* dict, std::string_view key, PyObject* value);

// A list filled element by element in order; `convert` returns a new
// reference or nullptr. The list is made at its final size: growing it by
// appends reallocates dozens of times for a large vault listing.
template <class Range, class Convert>
[[nodiscard]] PyObject* make_list(const Range& items, Convert convert) {
    Ref list{PyList_New(static_cast<Py_ssize_t>(std::size(items)))};
    if (!list) return nullptr;
    Py_ssize_t i = 0;
    for (const auto& item : items) {
        PyObject* element = convert(item);
        // A partly filled list is released with its empty slots; that is safe.
        if (element == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), i++, element);
    }
    return list.release();
}

// Raises RuntimeError carrying exactly the operation's message; for an
// operation stopped because a signal handler raised, leaves that exception.
[[nodiscard]] PyObject* raise_operation_error(const qel_lib::QelLibError& error);

// The interpreter lock released for the work of one call, so that the
// program's other threads run meanwhile. The work touches no Python object:
// the arguments are C++ values by then and the results become objects after
// the lock is back. Made with the lock held, it first copies the environment
// for the call (os.environ written on another thread calls setenv, which a
// getenv racing it may see half done) and installs that copy and its stop
// check on this thread.
//
// The stop check, asked while the work waits (for curl, or for another
// writer's vault lock), takes the lock back for a moment at most every 50 ms
// to run the signal handlers, so that Ctrl-C on the main thread still ends
// the call with KeyboardInterrupt, and to ask `cancel` (any object with an
// is_set() method, or nullptr) whether the caller gave up on the call.
class Released {
public:
    explicit Released(PyObject* cancel = nullptr);
    ~Released();  // takes the lock back if the work threw
    Released(const Released&) = delete;
    Released& operator=(const Released&) = delete;

    // Takes the lock back for good.
    void reacquire() noexcept;

    // Runs `f` with the lock held, then releases it again. Only on the thread
    // that made this object, while it is released.
    template <class F>
    void with_lock(F&& f) {
        // A thread that takes the lock back during the interpreter's shutdown
        // is ended right there: nothing may then release it again.
        released_ = false;
        PyEval_RestoreThread(state_);
        released_ = true;
        struct Again {
            Released& r;
            ~Again() { r.state_ = PyEval_SaveThread(); }
        } again{*this};
        std::forward<F>(f)();
    }

    // True once a signal handler raised (its exception is left set for the
    // call's result) or `cancel` was set.
    [[nodiscard]] bool stop_requested();

private:
    qel_core::Environment environment_;
    PyObject* cancel_;
    bool stopped_ = false;
    bool released_ = false;
    std::chrono::steady_clock::time_point next_check_{};
    PyThreadState* state_ = nullptr;
    std::optional<qel_core::CallScope> scope_;
};

// Runs `work` with the interpreter lock released (see Released) and returns
// its result with the lock held again.
template <class Work>
auto without_lock(Work&& work, PyObject* cancel = nullptr) {
    Released released(cancel);
    auto result = std::forward<Work>(work)();
    released.reacquire();
    return result;
}

// The exception type for internal faults: qel.PanicException when the package
// provides it, otherwise one created here. Borrowed; nullptr with an error set
// if neither is possible.
[[nodiscard]] PyObject* panic_exception_type();

// Sets PanicException for the fault held by `fault` and returns nullptr. A fault
// while doing so ends the process: nothing may unwind into the interpreter.
PyObject* report_fault(const std::exception_ptr& fault) noexcept;

// Runs `body` (returning a new reference or nullptr) so that no C++ exception
// leaves it; only the forced unwinding that ends a thread passes through.
template <class Body>
PyObject* guarded(Body&& body) {
    try {
        return std::forward<Body>(body)();
    } catch (abi::__forced_unwind&) {
        // A thread that takes the interpreter lock back while the interpreter
        // shuts down is ended by pthread_exit, which unwinds through here.
        throw;
    } catch (...) {
        return report_fault(std::current_exception());
    }
}

// The whole life of one call: bind, convert, then run `body` on the arguments.
template <class Body>
PyObject* call(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
               Body&& body) {
    return guarded([&]() -> PyObject* {
        Arguments bound;
        if (!bind_arguments(sig, args, nargsf, kwnames, bound)) return nullptr;
        return body(bound);
    });
}

namespace detail {
// Drops the cached PanicException type so tests can exercise both lookups.
void forget_panic_type() noexcept;
}  // namespace detail

}  // namespace qel_py
