// The call boundary inside an embedded interpreter: faults that no Python
// caller can provoke (C++ exceptions escaping an operation) and binder
// branches that none of the module's own tables reach.
#include "python/frame.hpp"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>

namespace {

class Interpreter : public ::testing::Environment {
public:
    void SetUp() override { Py_InitializeEx(0); }
    void TearDown() override { Py_FinalizeEx(); }
};
[[maybe_unused]] auto* const kInterpreter = ::testing::AddGlobalTestEnvironment(new Interpreter);

struct Raised {
    PyObject* type = nullptr;
    std::string text;
};

// Takes the pending exception, leaving the indicator clear.
Raised take_error() {
    qel_py::Ref exc{PyErr_GetRaisedException()};
    Raised out;
    if (!exc) return out;
    out.type = reinterpret_cast<PyObject*>(Py_TYPE(exc.get()));
    qel_py::Ref text{PyObject_Str(exc.get())};
    if (text) out.text = PyUnicode_AsUTF8(text.get());
    return out;
}

std::string full_name(PyObject* type) {
    qel_py::Ref module{PyObject_GetAttrString(type, "__module__")};
    qel_py::Ref name{PyObject_GetAttrString(type, "__qualname__")};
    if (!module || !name) return "?";
    return std::string(PyUnicode_AsUTF8(module.get())) + "." + PyUnicode_AsUTF8(name.get());
}

bool is_subclass(PyObject* type, PyObject* base) {
    return PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(type), reinterpret_cast<PyTypeObject*>(base)) != 0;
}

class FrameTest : public ::testing::Test {
protected:
    void SetUp() override {
        qel_py::detail::forget_panic_type();
        PyObject* modules = PyImport_GetModuleDict();
        if (PyDict_DelItemString(modules, "qel") < 0) PyErr_Clear();
    }
    void TearDown() override {
        EXPECT_EQ(PyErr_Occurred(), nullptr);
        PyErr_Clear();
    }
};

TEST_F(FrameTest, EscapingFaultsBecomePanicExceptionWithTheirText) {
    struct Case {
        const char* label;
        PyObject* (*body)();
        std::string text;
    };
    const Case cases[] = {
        {"bad_alloc", []() -> PyObject* { throw std::bad_alloc(); }, std::bad_alloc().what()},
        {"runtime_error", []() -> PyObject* { throw std::runtime_error("broken invariant: list shrank"); },
         "broken invariant: list shrank"},
        {"not a std::exception", []() -> PyObject* { throw 42; }, "unknown internal fault"},
        {"invalid UTF-8 text", []() -> PyObject* { throw std::logic_error("bad \xff byte"); },
         "bad \xef\xbf\xbd byte"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(qel_py::guarded(c.body), nullptr);
        const Raised raised = take_error();
        ASSERT_NE(raised.type, nullptr);
        EXPECT_TRUE(is_subclass(raised.type, PyExc_BaseException));
        EXPECT_FALSE(is_subclass(raised.type, PyExc_Exception));
        EXPECT_EQ(full_name(raised.type), "qel._native.PanicException");
        EXPECT_EQ(raised.text, c.text);
    }
}

TEST_F(FrameTest, PanicReplacesAPendingPythonError) {
    PyErr_SetString(PyExc_ValueError, "pending");
    EXPECT_EQ(qel_py::guarded([]() -> PyObject* { throw std::runtime_error("fault"); }), nullptr);
    const Raised raised = take_error();
    EXPECT_EQ(raised.type, qel_py::panic_exception_type());
    EXPECT_EQ(raised.text, "fault");
}

TEST_F(FrameTest, PanicTypeComesFromThePackageWhenItDefinesOne) {
    qel_py::Ref globals{PyDict_New()};
    ASSERT_TRUE(globals);
    ASSERT_EQ(PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()), 0);
    qel_py::Ref done{PyRun_String("import sys, types\n"
                                  "pkg = types.ModuleType('qel')\n"
                                  "class PanicException(BaseException): pass\n"
                                  "pkg.PanicException = PanicException\n"
                                  "sys.modules['qel'] = pkg\n",
                                  Py_file_input, globals.get(), globals.get())};
    ASSERT_TRUE(done);
    PyObject* expected = PyDict_GetItemString(globals.get(), "PanicException");
    EXPECT_EQ(qel_py::panic_exception_type(), expected);
    EXPECT_EQ(qel_py::panic_exception_type(), expected);  // cached
}

TEST_F(FrameTest, PackageAttributeThatIsNotAnExceptionTypeIsIgnored) {
    qel_py::Ref pkg{PyModule_New("qel")};
    ASSERT_TRUE(pkg);
    ASSERT_EQ(PyModule_AddStringConstant(pkg.get(), "PanicException", "not a type"), 0);
    ASSERT_EQ(PyDict_SetItemString(PyImport_GetModuleDict(), "qel", pkg.get()), 0);
    PyObject* type = qel_py::panic_exception_type();
    ASSERT_NE(type, nullptr);
    EXPECT_EQ(full_name(type), "qel._native.PanicException");
}

// Tables unlike the module's own: all parameters required, or none at all.
constexpr qel_py::Param kTwoTexts[] = {{"first", qel_py::ParamKind::Text}, {"second", qel_py::ParamKind::Text}};
const qel_py::Signature kAllRequired{"pair", kTwoTexts, 2};
const qel_py::Signature kNoParams{"nothing", std::span<const qel_py::Param>{}, 0};

PyObject* bind_only(const qel_py::Signature& sig, std::initializer_list<PyObject*> positional) {
    return qel_py::call(sig, std::data(positional), static_cast<Py_ssize_t>(positional.size()), nullptr,
                        [](const qel_py::Arguments&) { return qel_py::none(); });
}

TEST_F(FrameTest, TooManyPositionalWordingForFixedArity) {
    qel_py::Ref a{PyUnicode_FromString("a")};
    const struct {
        const qel_py::Signature& sig;
        std::initializer_list<PyObject*> args;
        std::string message;
    } cases[] = {
        {kAllRequired, {a.get(), a.get(), a.get()}, "pair() takes 2 positional arguments but 3 were given"},
        {kNoParams, {a.get()}, "nothing() takes 0 positional arguments but 1 was given"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(bind_only(c.sig, c.args), nullptr);
        const Raised raised = take_error();
        EXPECT_EQ(raised.type, PyExc_TypeError);
        EXPECT_EQ(raised.text, c.message);
    }
    qel_py::Ref ok{bind_only(kNoParams, {})};
    EXPECT_EQ(ok.get(), Py_None);
}

TEST_F(FrameTest, ReadingAnArgumentAsTheWrongKindIsAPanic) {
    qel_py::Ref a{PyUnicode_FromString("a")};
    PyObject* args[] = {a.get(), a.get()};
    EXPECT_EQ(qel_py::call(kAllRequired, args, 2, nullptr,
                           [](const qel_py::Arguments& bound) -> PyObject* {
                               (void)bound.opt_count(0);
                               return qel_py::none();
                           }),
              nullptr);
    const Raised raised = take_error();
    EXPECT_EQ(raised.type, qel_py::panic_exception_type());
    EXPECT_EQ(raised.text, "argument 0 read as the wrong kind");
}

TEST_F(FrameTest, OperationErrorsKeepTheirTextEvenWhenNotUtf8) {
    EXPECT_EQ(qel_py::raise_operation_error(qel_lib::QelLibError::invalid_input("bad \xff byte")), nullptr);
    const Raised raised = take_error();
    EXPECT_EQ(raised.type, PyExc_RuntimeError);
    EXPECT_EQ(raised.text, "invalid input: bad \xef\xbf\xbd byte");
}

TEST_F(FrameTest, ListBuildStopsAtTheFirstFailedElement) {
    const int items[] = {1, 2, 3};
    int converted = 0;
    PyObject* list = qel_py::make_list(items, [&](int i) -> PyObject* {
        ++converted;
        if (i == 2) {
            PyErr_SetString(PyExc_MemoryError, "no room");
            return nullptr;
        }
        return qel_py::to_int(i);
    });
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(converted, 2);
    EXPECT_EQ(take_error().type, PyExc_MemoryError);
}

}  // namespace
