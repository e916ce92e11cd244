// The _native extension module: its function table and its single-phase
// initialisation.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "frame.hpp"
#include "wrappers.hpp"

namespace {

template <PyObject* (*F)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)>
PyCFunction as_cfunction() {
    // CPython calls through PyCFunction and dispatches on ml_flags.
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

constexpr int kFlags = METH_FASTCALL | METH_KEYWORDS;

// Each docstring starts with the text signature so inspect.signature() works.
PyMethodDef kFunctions[] = {
    {"generate_mnemonic", as_cfunction<qel_py::generate_mnemonic>(), kFlags,
     "generate_mnemonic(words=12)\n--\n\n"
     "Generate a new BIP-39 mnemonic phrase."},
    {"derive_address", as_cfunction<qel_py::derive_address>(), kFlags,
     "derive_address(mnemonic, chain, index=None)\n--\n\n"
     "Derive an address from a mnemonic for the given chain."},
    {"create_wallet", as_cfunction<qel_py::create_wallet>(), kFlags,
     "create_wallet(name, passphrase=None, words=None, vault_path_opt=None)\n--\n\n"
     "Create a new universal wallet (derives addresses for all chains)."},
    {"import_wallet_mnemonic", as_cfunction<qel_py::import_wallet_mnemonic>(), kFlags,
     "import_wallet_mnemonic(name, mnemonic, passphrase=None, index=None, vault_path_opt=None)\n--\n\n"
     "Import a wallet from a mnemonic phrase (derives addresses for all chains)."},
    {"import_wallet_private_key", as_cfunction<qel_py::import_wallet_private_key>(), kFlags,
     "import_wallet_private_key(name, private_key_hex, chain=None, passphrase=None, vault_path_opt=None, "
     "secp256k1_key=None, ed25519_key=None)\n--\n\n"
     "Import a wallet from a hex-encoded private key (derives addresses for all chains).\n"
     "Optionally specify explicit keys per curve via `secp256k1_key` and `ed25519_key`."},
    {"list_wallets", as_cfunction<qel_py::list_wallets>(), kFlags,
     "list_wallets(vault_path_opt=None)\n--\n\n"
     "List all wallets in the vault."},
    {"get_wallet", as_cfunction<qel_py::get_wallet>(), kFlags,
     "get_wallet(name_or_id, vault_path_opt=None)\n--\n\n"
     "Get a single wallet by name or ID."},
    {"delete_wallet", as_cfunction<qel_py::delete_wallet>(), kFlags,
     "delete_wallet(name_or_id, vault_path_opt=None)\n--\n\n"
     "Delete a wallet from the vault."},
    {"export_wallet", as_cfunction<qel_py::export_wallet>(), kFlags,
     "export_wallet(name_or_id, passphrase=None, vault_path_opt=None)\n--\n\n"
     "Export a wallet's secret (mnemonic or private key)."},
    {"rename_wallet", as_cfunction<qel_py::rename_wallet>(), kFlags,
     "rename_wallet(name_or_id, new_name, vault_path_opt=None)\n--\n\n"
     "Rename a wallet."},
    {"sign_transaction", as_cfunction<qel_py::sign_transaction>(), kFlags,
     "sign_transaction(wallet, chain, tx_hex, passphrase=None, index=None, vault_path_opt=None)\n--\n\n"
     "Sign a transaction."},
    {"sign_message", as_cfunction<qel_py::sign_message>(), kFlags,
     "sign_message(wallet, chain, message, passphrase=None, encoding=None, index=None, vault_path_opt=None)\n--\n\n"
     "Sign a message."},
    {"sign_and_send", as_cfunction<qel_py::sign_and_send>(), kFlags,
     "sign_and_send(wallet, chain, tx_hex, passphrase=None, index=None, rpc_url=None, vault_path_opt=None)\n--\n\n"
     "Sign and broadcast a transaction."},
};

// m_size 0 rather than -1: with -1 CPython would hand later imports a copy of
// the first module's dict without asking us, sharing our function objects with
// other interpreters. With 0 every import runs PyInit__native, which can refuse.
PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "_native",
    "Python module definition.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The one module object of the process and the interpreter it belongs to.
PyObject* g_module = nullptr;
std::int64_t g_owner_interpreter = -1;

PyObject* create_module() {
    qel_py::Ref module{PyModule_Create2(&kModule, PYTHON_API_VERSION)};
    if (!module) return nullptr;
    qel_py::Ref module_name{PyModule_GetNameObject(module.get())};
    if (!module_name) return nullptr;
    for (PyMethodDef& def : kFunctions) {
        qel_py::Ref function{PyCFunction_NewEx(&def, nullptr, module_name.get())};
        if (!function || PyModule_AddObjectRef(module.get(), def.ml_name, function.get()) < 0) return nullptr;
    }
    return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit__native() {
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter < 0) return nullptr;
    if (g_module != nullptr) {
        if (interpreter != g_owner_interpreter) {
            PyErr_Format(PyExc_ImportError,
                         "qel._native is already loaded in interpreter %lld and cannot be loaded in interpreter "
                         "%lld: it supports one interpreter per process",
                         static_cast<long long>(g_owner_interpreter), static_cast<long long>(interpreter));
            return nullptr;
        }
        return Py_NewRef(g_module);
    }
    g_module = create_module();
    if (g_module == nullptr) return nullptr;
    g_owner_interpreter = interpreter;
    return Py_NewRef(g_module);
}
