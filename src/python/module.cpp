// The _native extension module: its function table and its single-phase
// initialisation.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "module_init.hpp"
#include "wrappers.hpp"

namespace {

using qel_py::as_cfunction;
constexpr int kFlags = qel_py::kFunctionFlags;

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

qel_py::ModuleHome g_home;

}  // namespace

PyMODINIT_FUNC PyInit__native() { return qel_py::init_module(kModule, kFunctions, g_home); }
