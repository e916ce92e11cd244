#include "wrappers.hpp"

#include <expected>
#include <string>
#include <vector>

#include "frame.hpp"
#include "listing.hpp"
#include "qel_lib/ops.hpp"
#include "results.hpp"

namespace qel_py {

namespace {

namespace ops = qel_lib::ops;
using qel_lib::QelLibError;
using ops::OptIndex;
using ops::OptPath;
using ops::OptText;
using K = ParamKind;

// ---- typed bodies ----

PyObject* generate_mnemonic_impl(std::uint32_t words) {
    auto r = without_lock([&] { return ops::generate_mnemonic(words); });
    return finish(r, secret_text_result);
}

PyObject* derive_address_impl(std::string_view mnemonic, std::string_view chain, OptIndex index) {
    auto r = without_lock([&] { return ops::derive_address(mnemonic, chain, index); });
    return finish(r, text_result);
}

PyObject* create_wallet_impl(std::string_view name, OptText passphrase, OptIndex words, const OptPath& vault) {
    auto r = without_lock([&] { return ops::create_wallet(name, passphrase, words, vault); });
    return finish(r, wallet_dict);
}

PyObject* import_wallet_mnemonic_impl(std::string_view name, std::string_view mnemonic, OptText passphrase,
                                      OptIndex index, const OptPath& vault) {
    auto r = without_lock([&] { return ops::import_wallet_mnemonic(name, mnemonic, passphrase, index, vault); });
    return finish(r, wallet_dict);
}

PyObject* import_wallet_private_key_impl(std::string_view name, std::string_view private_key_hex, OptText chain,
                                         OptText passphrase, const OptPath& vault, OptText secp256k1_key,
                                         OptText ed25519_key) {
    auto r = without_lock([&] {
        return ops::import_wallet_private_key(name, private_key_hex, chain, passphrase, vault, secp256k1_key,
                                              ed25519_key);
    });
    return finish(r, wallet_dict);
}

PyObject* get_wallet_impl(std::string_view name_or_id, const OptPath& vault) {
    auto r = without_lock([&] { return ops::get_wallet(name_or_id, vault); });
    return finish(r, wallet_dict);
}

PyObject* delete_wallet_impl(std::string_view name_or_id, const OptPath& vault) {
    return finish(without_lock([&] { return ops::delete_wallet(name_or_id, vault); }));
}

PyObject* export_wallet_impl(std::string_view name_or_id, OptText passphrase, const OptPath& vault) {
    auto r = without_lock([&] { return ops::export_wallet(name_or_id, passphrase, vault); });
    return finish(r, secret_text_result);
}

PyObject* rename_wallet_impl(std::string_view name_or_id, std::string_view new_name, const OptPath& vault) {
    return finish(without_lock([&] { return ops::rename_wallet(name_or_id, new_name, vault); }));
}

PyObject* sign_transaction_impl(std::string_view wallet, std::string_view chain, std::string_view tx_hex,
                                OptText passphrase, OptIndex index, const OptPath& vault) {
    auto r = without_lock([&] { return ops::sign_transaction(wallet, chain, tx_hex, passphrase, index, vault); });
    return finish(r, signature_dict);
}

PyObject* sign_message_impl(std::string_view wallet, std::string_view chain, std::string_view message,
                            OptText passphrase, OptText encoding, OptIndex index, const OptPath& vault) {
    auto r = without_lock([&] {
        return ops::sign_message(wallet, chain, message, passphrase, encoding, index, vault);
    });
    return finish(r, signature_dict);
}

PyObject* sign_and_send_impl(std::string_view wallet, std::string_view chain, std::string_view tx_hex,
                             OptText passphrase, OptIndex index, OptText rpc_url, const OptPath& vault) {
    // Ctrl-C while curl runs ends the call with KeyboardInterrupt, curl killed.
    auto r = without_lock([&] { return ops::sign_and_send(wallet, chain, tx_hex, passphrase, index, rpc_url, vault); });
    return finish(r, broadcast_dict);
}

// ---- parameter tables ----

constexpr Param kGenerateMnemonic[] = {{"words", K::CountDefault12}};
constexpr Param kDeriveAddress[] = {{"mnemonic", K::Text}, {"chain", K::Text}, {"index", K::OptCount}};
constexpr Param kCreateWallet[] = {
    {"name", K::Text}, {"passphrase", K::OptText}, {"words", K::OptCount}, {"vault_path_opt", K::OptPath}};
constexpr Param kImportWalletMnemonic[] = {{"name", K::Text},
                                           {"mnemonic", K::Text},
                                           {"passphrase", K::OptText},
                                           {"index", K::OptCount},
                                           {"vault_path_opt", K::OptPath}};
constexpr Param kImportWalletPrivateKey[] = {{"name", K::Text},
                                             {"private_key_hex", K::Text},
                                             {"chain", K::OptText},
                                             {"passphrase", K::OptText},
                                             {"vault_path_opt", K::OptPath},
                                             {"secp256k1_key", K::OptText},
                                             {"ed25519_key", K::OptText}};
constexpr Param kListWallets[] = {{"vault_path_opt", K::OptPath}};
constexpr Param kNameOrIdVault[] = {{"name_or_id", K::Text}, {"vault_path_opt", K::OptPath}};
constexpr Param kExportWallet[] = {
    {"name_or_id", K::Text}, {"passphrase", K::OptText}, {"vault_path_opt", K::OptPath}};
constexpr Param kRenameWallet[] = {
    {"name_or_id", K::Text}, {"new_name", K::Text}, {"vault_path_opt", K::OptPath}};
constexpr Param kSignTransaction[] = {{"wallet", K::Text},         {"chain", K::Text},
                                      {"tx_hex", K::Text},         {"passphrase", K::OptText},
                                      {"index", K::OptCount},      {"vault_path_opt", K::OptPath}};
constexpr Param kSignMessage[] = {{"wallet", K::Text},        {"chain", K::Text},       {"message", K::Text},
                                  {"passphrase", K::OptText}, {"encoding", K::OptText}, {"index", K::OptCount},
                                  {"vault_path_opt", K::OptPath}};
constexpr Param kSignAndSend[] = {{"wallet", K::Text},        {"chain", K::Text},     {"tx_hex", K::Text},
                                  {"passphrase", K::OptText}, {"index", K::OptCount}, {"rpc_url", K::OptText},
                                  {"vault_path_opt", K::OptPath}};

const Signature kGenerateMnemonicSig{"generate_mnemonic", kGenerateMnemonic, 0};
const Signature kDeriveAddressSig{"derive_address", kDeriveAddress, 2};
const Signature kCreateWalletSig{"create_wallet", kCreateWallet, 1};
const Signature kImportWalletMnemonicSig{"import_wallet_mnemonic", kImportWalletMnemonic, 2};
const Signature kImportWalletPrivateKeySig{"import_wallet_private_key", kImportWalletPrivateKey, 2};
const Signature kListWalletsSig{"list_wallets", kListWallets, 0};
const Signature kGetWalletSig{"get_wallet", kNameOrIdVault, 1};
const Signature kDeleteWalletSig{"delete_wallet", kNameOrIdVault, 1};
const Signature kExportWalletSig{"export_wallet", kExportWallet, 1};
const Signature kRenameWalletSig{"rename_wallet", kRenameWallet, 2};
const Signature kSignTransactionSig{"sign_transaction", kSignTransaction, 3};
const Signature kSignMessageSig{"sign_message", kSignMessage, 3};
const Signature kSignAndSendSig{"sign_and_send", kSignAndSend, 3};

}  // namespace

// ---- entry points: bind by table, then hand typed values to the body ----

PyObject* generate_mnemonic(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call(kGenerateMnemonicSig, args, nargs, kwnames,
                [](const Arguments& a) { return generate_mnemonic_impl(a.count(0)); });
}

PyObject* derive_address(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call(kDeriveAddressSig, args, nargs, kwnames,
                [](const Arguments& a) { return derive_address_impl(a.text(0), a.text(1), a.opt_count(2)); });
}

PyObject* create_wallet(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call(kCreateWalletSig, args, nargs, kwnames, [](const Arguments& a) {
        return create_wallet_impl(a.text(0), a.opt_text(1), a.opt_count(2), a.opt_path(3));
    });
}

PyObject* import_wallet_mnemonic(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call(kImportWalletMnemonicSig, args, nargs, kwnames, [](const Arguments& a) {
        return import_wallet_mnemonic_impl(a.text(0), a.text(1), a.opt_text(2), a.opt_count(3), a.opt_path(4));
    });
}

PyObject* import_wallet_private_key(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call(kImportWalletPrivateKeySig, args, nargs, kwnames, [](const Arguments& a) {
        return import_wallet_private_key_impl(a.text(0), a.text(1), a.opt_text(2), a.opt_text(3), a.opt_path(4),
                                              a.opt_text(5), a.opt_text(6));
    });
}

PyObject* list_wallets(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call(kListWalletsSig, args, nargs, kwnames,
                [](const Arguments& a) { return list_wallets_result(a.opt_path(0)); });
}

PyObject* get_wallet(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call(kGetWalletSig, args, nargs, kwnames,
                [](const Arguments& a) { return get_wallet_impl(a.text(0), a.opt_path(1)); });
}

PyObject* delete_wallet(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call(kDeleteWalletSig, args, nargs, kwnames,
                [](const Arguments& a) { return delete_wallet_impl(a.text(0), a.opt_path(1)); });
}

PyObject* export_wallet(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call(kExportWalletSig, args, nargs, kwnames, [](const Arguments& a) {
        return export_wallet_impl(a.text(0), a.opt_text(1), a.opt_path(2));
    });
}

PyObject* rename_wallet(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call(kRenameWalletSig, args, nargs, kwnames, [](const Arguments& a) {
        return rename_wallet_impl(a.text(0), a.text(1), a.opt_path(2));
    });
}

PyObject* sign_transaction(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call(kSignTransactionSig, args, nargs, kwnames, [](const Arguments& a) {
        return sign_transaction_impl(a.text(0), a.text(1), a.text(2), a.opt_text(3), a.opt_count(4),
                                     a.opt_path(5));
    });
}

PyObject* sign_message(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call(kSignMessageSig, args, nargs, kwnames, [](const Arguments& a) {
        return sign_message_impl(a.text(0), a.text(1), a.text(2), a.opt_text(3), a.opt_text(4), a.opt_count(5),
                                 a.opt_path(6));
    });
}

PyObject* sign_and_send(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call(kSignAndSendSig, args, nargs, kwnames, [](const Arguments& a) {
        return sign_and_send_impl(a.text(0), a.text(1), a.text(2), a.opt_text(3), a.opt_count(4), a.opt_text(5),
                                  a.opt_path(6));
    });
}

}  // namespace qel_py
