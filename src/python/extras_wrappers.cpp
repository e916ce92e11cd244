#include "extras_wrappers.hpp"

#include "frame.hpp"
#include "qel_lib/ops.hpp"
#include "qel_lib/transactions.hpp"
#include "results.hpp"

namespace qel_py::extras {

namespace {

namespace ops = qel_lib::ops;
using ops::OptIndex;
using ops::OptPath;
using ops::OptText;
using K = ParamKind;

// ---- typed bodies ----

PyObject* change_passphrase_impl(std::string_view name_or_id, std::string_view old_passphrase,
                                 std::string_view new_passphrase, const OptPath& vault) {
    auto r = without_lock([&] { return ops::change_passphrase(name_or_id, old_passphrase, new_passphrase, vault); });
    return finish(r, wallet_dict);
}

PyObject* verify_message_impl(std::string_view chain, std::string_view message, std::string_view signature_hex,
                              OptText address, OptText public_key_hex, OptText encoding) {
    auto r = without_lock([&] {
        return ops::verify_message(chain, message, signature_hex, address, public_key_hex, encoding);
    });
    return finish(r, bool_result);
}

PyObject* sign_typed_data_impl(std::string_view wallet, std::string_view chain, std::string_view typed_data_json,
                               OptText passphrase, OptIndex index, const OptPath& vault) {
    auto r = without_lock([&] {
        return ops::sign_typed_data(wallet, chain, typed_data_json, passphrase, index, vault);
    });
    return finish(r, signature_dict);
}

PyObject* import_wallet_keystore_impl(std::string_view name, std::string_view keystore_json,
                                      std::string_view keystore_password, OptText passphrase, const OptPath& vault) {
    auto r = without_lock([&] {
        return ops::import_wallet_keystore(name, keystore_json, keystore_password, passphrase, vault);
    });
    return finish(r, wallet_dict);
}

PyObject* export_wallet_keystore_impl(std::string_view name_or_id, OptText passphrase, OptText keystore_password,
                                      OptIndex index, const OptPath& vault) {
    auto r = without_lock([&] {
        return ops::export_wallet_keystore(name_or_id, passphrase, keystore_password, index, vault);
    });
    return finish(r, text_result);
}

PyObject* sign_and_send_cancellable_impl(std::string_view wallet, std::string_view chain, std::string_view tx_hex,
                                         OptText passphrase, OptIndex index, OptText rpc_url, const OptPath& vault,
                                         PyObject* cancel) {
    // Setting `cancel` (or Ctrl-C) while curl runs kills and reaps curl.
    auto r = without_lock(
        [&] { return ops::sign_and_send(wallet, chain, tx_hex, passphrase, index, rpc_url, vault); }, cancel);
    return finish(r, broadcast_dict);
}

// ---- parameter tables ----

constexpr Param kChangePassphrase[] = {{"name_or_id", K::Text},
                                       {"old_passphrase", K::Text},
                                       {"new_passphrase", K::Text},
                                       {"vault_path_opt", K::OptPath}};
constexpr Param kVerifyMessage[] = {{"chain", K::Text},          {"message", K::Text},
                                    {"signature_hex", K::Text},  {"address", K::OptText},
                                    {"public_key_hex", K::OptText}, {"encoding", K::OptText}};
constexpr Param kSignTypedData[] = {{"wallet", K::Text},          {"chain", K::Text},
                                    {"typed_data_json", K::Text}, {"passphrase", K::OptText},
                                    {"index", K::OptCount},       {"vault_path_opt", K::OptPath}};
constexpr Param kImportWalletKeystore[] = {{"name", K::Text},
                                           {"keystore_json", K::Text},
                                           {"keystore_password", K::Text},
                                           {"passphrase", K::OptText},
                                           {"vault_path_opt", K::OptPath}};
constexpr Param kExportWalletKeystore[] = {{"name_or_id", K::Text},
                                           {"passphrase", K::OptText},
                                           {"keystore_password", K::OptText},
                                           {"index", K::OptCount},
                                           {"vault_path_opt", K::OptPath}};
constexpr Param kSignAndSendCancellable[] = {{"wallet", K::Text},        {"chain", K::Text},
                                             {"tx_hex", K::Text},        {"passphrase", K::OptText},
                                             {"index", K::OptCount},     {"rpc_url", K::OptText},
                                             {"vault_path_opt", K::OptPath}, {"cancel", K::OptObject}};

const Signature kChangePassphraseSig{"change_passphrase", kChangePassphrase, 3};
const Signature kVerifyMessageSig{"verify_message", kVerifyMessage, 3};
const Signature kSignTypedDataSig{"sign_typed_data", kSignTypedData, 3};
const Signature kImportWalletKeystoreSig{"import_wallet_keystore", kImportWalletKeystore, 3};
const Signature kExportWalletKeystoreSig{"export_wallet_keystore", kExportWalletKeystore, 1};
const Signature kSignAndSendCancellableSig{"sign_and_send_cancellable", kSignAndSendCancellable, 3};

}  // namespace

// ---- entry points: bind by table, then hand typed values to the body ----

PyObject* change_passphrase(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call(kChangePassphraseSig, args, nargs, kwnames, [](const Arguments& a) {
        return change_passphrase_impl(a.text(0), a.text(1), a.text(2), a.opt_path(3));
    });
}

PyObject* verify_message(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call(kVerifyMessageSig, args, nargs, kwnames, [](const Arguments& a) {
        return verify_message_impl(a.text(0), a.text(1), a.text(2), a.opt_text(3), a.opt_text(4), a.opt_text(5));
    });
}

PyObject* sign_typed_data(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call(kSignTypedDataSig, args, nargs, kwnames, [](const Arguments& a) {
        return sign_typed_data_impl(a.text(0), a.text(1), a.text(2), a.opt_text(3), a.opt_count(4), a.opt_path(5));
    });
}

PyObject* import_wallet_keystore(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call(kImportWalletKeystoreSig, args, nargs, kwnames, [](const Arguments& a) {
        return import_wallet_keystore_impl(a.text(0), a.text(1), a.text(2), a.opt_text(3), a.opt_path(4));
    });
}

PyObject* export_wallet_keystore(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call(kExportWalletKeystoreSig, args, nargs, kwnames, [](const Arguments& a) {
        return export_wallet_keystore_impl(a.text(0), a.opt_text(1), a.opt_text(2), a.opt_count(3), a.opt_path(4));
    });
}

PyObject* sign_and_send_cancellable(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call(kSignAndSendCancellableSig, args, nargs, kwnames, [](const Arguments& a) {
        return sign_and_send_cancellable_impl(a.text(0), a.text(1), a.text(2), a.opt_text(3), a.opt_count(4),
                                              a.opt_text(5), a.opt_path(6), a.opt_object(7));
    });
}

// ---- get_public_key: the public keys of stored accounts ----

namespace {

PyObject* get_public_key_impl(std::string_view wallet, std::string_view chain, OptText passphrase, OptIndex index,
                              const OptPath& vault) {
    auto r = without_lock([&] { return ops::get_public_key(wallet, chain, passphrase, index, vault); });
    return finish(r, text_result);
}

constexpr Param kGetPublicKey[] = {{"wallet", K::Text},
                                   {"chain", K::Text},
                                   {"passphrase", K::OptText},
                                   {"index", K::OptCount},
                                   {"vault_path_opt", K::OptPath}};
const Signature kGetPublicKeySig{"get_public_key", kGetPublicKey, 2};

}  // namespace

PyObject* get_public_key(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call(kGetPublicKeySig, args, nargs, kwnames, [](const Arguments& a) {
        return get_public_key_impl(a.text(0), a.text(1), a.opt_text(2), a.opt_count(3), a.opt_path(4));
    });
}

// ---- complete transactions of every family ----

namespace {

// {"signed_tx", "tx_hash"}.
PyObject* encoded_dict(const ops::EncodedTransaction& tx) {
    Ref dict{new_dict()};
    if (!dict || !set_item(dict.get(), "signed_tx", to_str(tx.signed_tx)) ||
        !set_item(dict.get(), "tx_hash", to_str(tx.tx_hash))) {
        return nullptr;
    }
    return dict.release();
}

// {"chain_id", "address", "nonce", "y_parity", "r", "s"}.
PyObject* authorization_dict(const ops::SignedAuthorization& a) {
    Ref dict{new_dict()};
    if (!dict || !set_item(dict.get(), "chain_id", PyLong_FromUnsignedLongLong(a.chain_id)) ||
        !set_item(dict.get(), "address", to_str(a.address)) ||
        !set_item(dict.get(), "nonce", PyLong_FromUnsignedLongLong(a.nonce)) ||
        !set_item(dict.get(), "y_parity", to_int(a.y_parity)) || !set_item(dict.get(), "r", to_str(a.r)) ||
        !set_item(dict.get(), "s", to_str(a.s))) {
        return nullptr;
    }
    return dict.release();
}

PyObject* sign_and_encode_impl(std::string_view wallet, std::string_view chain, std::string_view unsigned_tx,
                               OptText passphrase, OptIndex index, const OptPath& vault) {
    auto r = without_lock([&] { return ops::sign_and_encode(wallet, chain, unsigned_tx, passphrase, index, vault); });
    return finish(r, encoded_dict);
}

PyObject* sign_authorization_impl(std::string_view wallet, std::uint64_t chain_id, std::string_view address,
                                  std::uint64_t nonce, OptText passphrase, OptIndex index, const OptPath& vault) {
    auto r = without_lock(
        [&] { return ops::sign_authorization(wallet, chain_id, address, nonce, passphrase, index, vault); });
    return finish(r, authorization_dict);
}

PyObject* broadcast_transaction_impl(std::string_view chain, std::string_view signed_tx, OptText rpc_url,
                                     PyObject* cancel) {
    // Ctrl-C, or `cancel` set, while curl runs ends the call with curl killed.
    auto r = without_lock([&] { return ops::broadcast_transaction(chain, signed_tx, rpc_url); }, cancel);
    return finish(r, broadcast_dict);
}

PyObject* describe_transaction_impl(std::string_view chain, std::string_view unsigned_tx) {
    auto r = without_lock([&] { return ops::describe_transaction(chain, unsigned_tx); });
    return finish(r, [](const std::vector<std::pair<std::string, std::string>>& lines) -> PyObject* {
        Ref dict{new_dict()};
        if (!dict) return nullptr;
        for (const auto& [label, value] : lines) {
            if (!set_text_item(dict.get(), label, to_str(value))) return nullptr;
        }
        return dict.release();
    });
}

constexpr Param kSignAndEncode[] = {{"wallet", K::Text},       {"chain", K::Text},     {"unsigned_tx", K::Text},
                                    {"passphrase", K::OptText}, {"index", K::OptCount}, {"vault_path_opt", K::OptPath}};
constexpr Param kSignAuthorization[] = {{"wallet", K::Text},         {"chain_id", K::U64},   {"address", K::Text},
                                        {"nonce", K::U64},           {"passphrase", K::OptText}, {"index", K::OptCount},
                                        {"vault_path_opt", K::OptPath}};

constexpr Param kBroadcastTransaction[] = {
    {"chain", K::Text}, {"signed_tx", K::Text}, {"rpc_url", K::OptText}, {"cancel", K::OptObject}};

constexpr Param kDescribeTransaction[] = {{"chain", K::Text}, {"unsigned_tx", K::Text}};
const Signature kDescribeTransactionSig{"describe_transaction", kDescribeTransaction, 2};
const Signature kBroadcastTransactionSig{"broadcast_transaction", kBroadcastTransaction, 2};
const Signature kSignAndEncodeSig{"sign_and_encode", kSignAndEncode, 3};
const Signature kSignAuthorizationSig{"sign_authorization", kSignAuthorization, 4};

}  // namespace

PyObject* sign_and_encode(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call(kSignAndEncodeSig, args, nargs, kwnames, [](const Arguments& a) {
        return sign_and_encode_impl(a.text(0), a.text(1), a.text(2), a.opt_text(3), a.opt_count(4), a.opt_path(5));
    });
}

PyObject* sign_authorization(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call(kSignAuthorizationSig, args, nargs, kwnames, [](const Arguments& a) {
        return sign_authorization_impl(a.text(0), a.u64(1), a.text(2), a.u64(3), a.opt_text(4), a.opt_count(5),
                                       a.opt_path(6));
    });
}

PyObject* broadcast_transaction(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call(kBroadcastTransactionSig, args, nargs, kwnames, [](const Arguments& a) {
        return broadcast_transaction_impl(a.text(0), a.text(1), a.opt_text(2), a.opt_object(3));
    });
}

PyObject* describe_transaction(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call(kDescribeTransactionSig, args, nargs, kwnames,
                [](const Arguments& a) { return describe_transaction_impl(a.text(0), a.text(1)); });
}

}  // namespace qel_py::extras
