#pragma once

// The Python objects the module functions return, built from the operations'
// records, and the one way an operation's outcome becomes a result or a
// RuntimeError.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <expected>
#include <string>

#include "frame.hpp"
#include "qel_lib/records.hpp"

namespace qel_py {

// {"chain_id", "address", "derivation_path"}.
[[nodiscard]] PyObject* account_dict(const qel_lib::AccountInfo& account);
// {"id", "name", "accounts", "created_at"}.
[[nodiscard]] PyObject* wallet_dict(const qel_lib::WalletInfo& wallet);
// {"signature", "recovery_id"}; recovery_id is None when the signer gave none.
[[nodiscard]] PyObject* signature_dict(const qel_lib::SignResult& result);
// {"tx_hash"}.
[[nodiscard]] PyObject* broadcast_dict(const std::string& tx_hash);
[[nodiscard]] PyObject* text_result(const std::string& text);
// For phrases and exported secrets: the text goes into a str the caller
// owns, and our own copy is wiped.
[[nodiscard]] PyObject* secret_text_result(std::string& text);
[[nodiscard]] PyObject* bool_result(bool value);

template <class T, class Convert>
PyObject* finish(std::expected<T, qel_lib::QelLibError>& result, Convert convert) {
    if (!result) return raise_operation_error(result.error());
    return convert(*result);
}

[[nodiscard]] PyObject* finish(const std::expected<void, qel_lib::QelLibError>& result);

}  // namespace qel_py
