#pragma once

// What every extension module of the package shares: its function entries
// and its single-phase initialisation, which allows one interpreter per
// process.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <span>

namespace qel_py {

using FastFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// CPython calls through PyCFunction and dispatches on ml_flags.
template <FastFunction F>
PyCFunction as_cfunction() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

inline constexpr int kFunctionFlags = METH_FASTCALL | METH_KEYWORDS;

// The one module object of a module definition and the interpreter it
// belongs to.
struct ModuleHome {
    PyObject* module = nullptr;
    std::int64_t owner_interpreter = -1;
};

// The body of PyInit_<name>: creates the module once, adds the functions one
// by one in table order, and hands the same object to later imports in the
// same interpreter; another interpreter gets ImportError. The definition's
// m_size must be 0 so that every import comes here.
[[nodiscard]] PyObject* init_module(PyModuleDef& definition, std::span<PyMethodDef> functions, ModuleHome& home);

}  // namespace qel_py
