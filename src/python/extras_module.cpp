// The _extras extension module: the operations beyond the original thirteen,
// on the same call frame as _native.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "extras_wrappers.hpp"
#include "module_init.hpp"

namespace {

using qel_py::as_cfunction;
namespace extras = qel_py::extras;
constexpr int kFlags = qel_py::kFunctionFlags;

// Each docstring starts with the text signature so inspect.signature() works.
PyMethodDef kFunctions[] = {
    {"change_passphrase", as_cfunction<extras::change_passphrase>(), kFlags,
     "change_passphrase(name_or_id, old_passphrase, new_passphrase, vault_path_opt=None)\n--\n\n"
     "Re-encrypt a wallet's secret under a new passphrase (same wallet, same addresses)."},
    {"verify_message", as_cfunction<extras::verify_message>(), kFlags,
     "verify_message(chain, message, signature_hex, address=None, public_key_hex=None, encoding=None)\n--\n\n"
     "Check a signature made by sign_message against an address or public key; True or False."},
    {"sign_typed_data", as_cfunction<extras::sign_typed_data>(), kFlags,
     "sign_typed_data(wallet, chain, typed_data_json, passphrase=None, index=None, vault_path_opt=None)\n--\n\n"
     "Sign EIP-712 typed data (JSON text) with the wallet's EVM key."},
    {"import_wallet_keystore", as_cfunction<extras::import_wallet_keystore>(), kFlags,
     "import_wallet_keystore(name, keystore_json, keystore_password, passphrase=None, vault_path_opt=None)\n--\n\n"
     "Import the key of an encrypted Ethereum keystore (version 3) as a private-key wallet."},
    {"export_wallet_keystore", as_cfunction<extras::export_wallet_keystore>(), kFlags,
     "export_wallet_keystore(name_or_id, passphrase=None, keystore_password=None, index=None, "
     "vault_path_opt=None)\n--\n\n"
     "Export the wallet's EVM key as an encrypted Ethereum keystore (version 3, JSON text).\n"
     "The keystore password defaults to the wallet passphrase."},
    {"sign_and_send_cancellable", as_cfunction<extras::sign_and_send_cancellable>(), kFlags,
     "sign_and_send_cancellable(wallet, chain, tx_hex, passphrase=None, index=None, rpc_url=None, "
     "vault_path_opt=None, cancel=None)\n--\n\n"
     "sign_and_send that another thread can stop: once cancel.is_set() is true (a threading.Event),\n"
     "curl is killed and the call raises RuntimeError('interrupted')."},
    // The public keys of stored accounts.
    {"get_public_key", as_cfunction<extras::get_public_key>(), kFlags,
     "get_public_key(wallet, chain, passphrase=None, index=None, vault_path_opt=None)\n--\n\n"
     "The public key (hex) of the wallet's account on a chain: compressed SEC1 on secp256k1\n"
     "chains, 32 bytes on Ed25519 ones."},
    // ---- complete transactions of every family ----
    {"sign_and_encode", as_cfunction<extras::sign_and_encode>(), kFlags,
     "sign_and_encode(wallet, chain, unsigned_tx, passphrase=None, index=None, vault_path_opt=None)\n--\n\n"
     "Sign a chain's own unsigned transaction and encode it as the chain's broadcast API takes it;\n"
     "{'signed_tx': ..., 'tx_hash': ...}."},
    {"sign_authorization", as_cfunction<extras::sign_authorization>(), kFlags,
     "sign_authorization(wallet, chain_id, address, nonce, passphrase=None, index=None, vault_path_opt=None)\n--\n\n"
     "Sign an EIP-7702 authorization with the wallet's EVM key (chain_id 0: every chain)."},
    {"broadcast_transaction", as_cfunction<extras::broadcast_transaction>(), kFlags,
     "broadcast_transaction(chain, signed_tx, rpc_url=None, cancel=None)\n--\n\n"
     "Send a signed transaction (as sign_and_encode gives it) to the chain's own API; {'tx_hash': ...}.\n"
     "Once cancel.is_set() is true (a threading.Event), curl is killed and the call raises\n"
     "RuntimeError('interrupted')."},
    {"describe_transaction", as_cfunction<extras::describe_transaction>(), kFlags,
     "describe_transaction(chain, unsigned_tx)\n--\n\n"
     "What an unsigned transaction (as sign_and_encode takes it) says about where value goes; {label: value}."},
};

// m_size 0, as for _native: every import comes to PyInit__extras.
PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "_extras",
    "Wallet operations beyond the core set: passphrase changes, signature checks, typed data, keystores.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

qel_py::ModuleHome g_home;

}  // namespace

PyMODINIT_FUNC PyInit__extras() { return qel_py::init_module(kModule, kFunctions, g_home); }
