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

// The pending exception as "module.Type: text", leaving the indicator clear.
std::string take_error() {
    qel_py::Ref exc{PyErr_GetRaisedException()};
    if (!exc) return "no exception";
    qel_py::Ref type{PyObject_Type(exc.get())};
    qel_py::Ref module{PyObject_GetAttrString(type.get(), "__module__")};
    qel_py::Ref name{PyObject_GetAttrString(type.get(), "__qualname__")};
    qel_py::Ref text{PyObject_Str(exc.get())};
    return std::string(PyUnicode_AsUTF8(module.get())) + "." + PyUnicode_AsUTF8(name.get()) + ": " +
           PyUnicode_AsUTF8(text.get());
}

class FrameTest : public ::testing::Test {
protected:
    void SetUp() override {
        qel_py::detail::forget_panic_type();
        if (PyDict_DelItemString(PyImport_GetModuleDict(), "qel") < 0) PyErr_Clear();
    }
    void TearDown() override { EXPECT_EQ(PyErr_Occurred(), nullptr); }
};

TEST_F(FrameTest, EscapingFaultsBecomePanicExceptionWithTheirText) {
    const std::pair<PyObject* (*)(), std::string> cases[] = {
        {[]() -> PyObject* { throw std::bad_alloc(); }, std::bad_alloc().what()},
        {[]() -> PyObject* { throw std::runtime_error("broken invariant"); }, "broken invariant"},
        {[]() -> PyObject* { throw 42; }, "unknown internal fault"},
        {[]() -> PyObject* { throw std::logic_error("bad \xff byte"); }, "bad \xef\xbf\xbd byte"},
    };
    for (const auto& [body, text] : cases) {
        EXPECT_EQ(qel_py::guarded(body), nullptr);
        EXPECT_EQ(take_error(), "qel._native.PanicException: " + text);
    }
    PyObject* panic = qel_py::panic_exception_type();
    EXPECT_EQ(PyObject_IsSubclass(panic, PyExc_BaseException), 1);
    EXPECT_EQ(PyObject_IsSubclass(panic, PyExc_Exception), 0);
    // A pending Python error is replaced.
    PyErr_SetString(PyExc_ValueError, "pending");
    EXPECT_EQ(qel_py::guarded([]() -> PyObject* { throw std::runtime_error("fault"); }), nullptr);
    EXPECT_EQ(take_error(), "qel._native.PanicException: fault");
}

TEST_F(FrameTest, PanicTypeComesFromThePackageWhenItDefinesOne) {
    qel_py::Ref globals{PyDict_New()};
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

    // An attribute that is no exception type is ignored.
    qel_py::detail::forget_panic_type();
    PyObject* pkg = PyDict_GetItemString(PyImport_GetModuleDict(), "qel");
    ASSERT_EQ(PyObject_SetAttrString(pkg, "PanicException", Py_None), 0);
    EXPECT_EQ(qel_py::guarded([]() -> PyObject* { throw 1; }), nullptr);
    EXPECT_EQ(take_error(), "qel._native.PanicException: unknown internal fault");
}

// Tables unlike the module's own: all parameters required, or none at all.
constexpr qel_py::Param kTwoTexts[] = {{"first", qel_py::ParamKind::Text}, {"second", qel_py::ParamKind::Text}};
const qel_py::Signature kAllRequired{"pair", kTwoTexts, 2};
const qel_py::Signature kNoParams{"nothing", std::span<const qel_py::Param>{}, 0};

TEST_F(FrameTest, BinderCornersAndFaults) {
    qel_py::Ref a{PyUnicode_FromString("a")};
    PyObject* args[] = {a.get(), a.get(), a.get()};
    const auto none = [](const qel_py::Arguments&) { return qel_py::none(); };
    EXPECT_EQ(qel_py::call(kAllRequired, args, 3, nullptr, none), nullptr);
    EXPECT_EQ(take_error(), "builtins.TypeError: pair() takes 2 positional arguments but 3 were given");
    EXPECT_EQ(qel_py::call(kNoParams, args, 1, nullptr, none), nullptr);
    EXPECT_EQ(take_error(), "builtins.TypeError: nothing() takes 0 positional arguments but 1 was given");
    qel_py::Ref ok{qel_py::call(kNoParams, args, 0, nullptr, none)};
    EXPECT_EQ(ok.get(), Py_None);

    EXPECT_EQ(qel_py::call(kAllRequired, args, 2, nullptr,
                           [](const qel_py::Arguments& bound) -> PyObject* {
                               (void)bound.opt_count(0);
                               return qel_py::none();
                           }),
              nullptr);
    EXPECT_EQ(take_error(), "qel._native.PanicException: argument 0 read as the wrong kind");

    EXPECT_EQ(qel_py::raise_operation_error(qel_lib::QelLibError::invalid_input("bad \xff byte")), nullptr);
    EXPECT_EQ(take_error(), "builtins.RuntimeError: invalid input: bad \xef\xbf\xbd byte");
}

TEST_F(FrameTest, ListBuildStopsAtTheFirstFailedElement) {
    const int items[] = {1, 2, 3};
    int converted = 0;
    EXPECT_EQ(qel_py::make_list(items,
                                [&](int i) -> PyObject* {
                                    ++converted;
                                    if (i != 2) return qel_py::to_int(i);
                                    PyErr_SetString(PyExc_MemoryError, "no room");
                                    return nullptr;
                                }),
              nullptr);
    EXPECT_EQ(converted, 2);
    EXPECT_EQ(take_error(), "builtins.MemoryError: no room");
}

}  // namespace
