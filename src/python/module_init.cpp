#include "module_init.hpp"

#include "frame.hpp"

namespace qel_py {

namespace {

PyObject* create_module(PyModuleDef& definition, std::span<PyMethodDef> functions) {
    Ref module{PyModule_Create2(&definition, PYTHON_API_VERSION)};
    if (!module) return nullptr;
    Ref module_name{PyModule_GetNameObject(module.get())};
    if (!module_name) return nullptr;
    for (PyMethodDef& def : functions) {
        Ref function{PyCFunction_NewEx(&def, nullptr, module_name.get())};
        if (!function || PyModule_AddObjectRef(module.get(), def.ml_name, function.get()) < 0) return nullptr;
    }
    return module.release();
}

}  // namespace

PyObject* init_module(PyModuleDef& definition, std::span<PyMethodDef> functions, ModuleHome& home) {
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter < 0) return nullptr;
    if (home.module != nullptr) {
        if (interpreter != home.owner_interpreter) {
            PyErr_Format(PyExc_ImportError,
                         "qel.%s is already loaded in interpreter %lld and cannot be loaded in interpreter "
                         "%lld: it supports one interpreter per process",
                         definition.m_name, static_cast<long long>(home.owner_interpreter),
                         static_cast<long long>(interpreter));
            return nullptr;
        }
        return Py_NewRef(home.module);
    }
    home.module = create_module(definition, functions);
    if (home.module == nullptr) return nullptr;
    home.owner_interpreter = interpreter;
    return Py_NewRef(home.module);
}

}  // namespace qel_py
