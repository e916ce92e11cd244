#include "results.hpp"

#include "qel_signer/secret_bytes.hpp"

namespace qel_py {

PyObject* account_dict(const qel_lib::AccountInfo& account) {
    Ref dict{new_dict()};
    if (!dict || !set_item(dict.get(), "chain_id", to_str(account.chain_id)) ||
        !set_item(dict.get(), "address", to_str(account.address)) ||
        !set_item(dict.get(), "derivation_path", to_str(account.derivation_path))) {
        return nullptr;
    }
    return dict.release();
}

PyObject* wallet_dict(const qel_lib::WalletInfo& wallet) {
    Ref dict{new_dict()};
    if (!dict || !set_item(dict.get(), "id", to_str(wallet.id)) ||
        !set_item(dict.get(), "name", to_str(wallet.name)) ||
        !set_item(dict.get(), "accounts", make_list(wallet.accounts, account_dict)) ||
        !set_item(dict.get(), "created_at", to_str(wallet.created_at))) {
        return nullptr;
    }
    return dict.release();
}

PyObject* signature_dict(const qel_lib::SignResult& result) {
    Ref dict{new_dict()};
    if (!dict || !set_item(dict.get(), "signature", to_str(result.signature)) ||
        !set_item(dict.get(), "recovery_id", result.recovery_id ? to_int(*result.recovery_id) : none())) {
        return nullptr;
    }
    return dict.release();
}

PyObject* broadcast_dict(const std::string& tx_hash) {
    Ref dict{new_dict()};
    if (!dict || !set_item(dict.get(), "tx_hash", to_str(tx_hash))) return nullptr;
    return dict.release();
}

PyObject* text_result(const std::string& text) { return to_str(text); }

PyObject* secret_text_result(std::string& text) {
    PyObject* result = to_str(text);
    qel_signer::wipe(text.data(), text.size());
    return result;
}

PyObject* bool_result(bool value) { return PyBool_FromLong(value ? 1 : 0); }

PyObject* finish(const std::expected<void, qel_lib::QelLibError>& result) {
    if (!result) return raise_operation_error(result.error());
    return none();
}

}  // namespace qel_py
