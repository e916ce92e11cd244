#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "qel_lib/ops.hpp"

namespace qel_py {

// list_wallets' result, made straight from each wallet file as it is read:
// a list of {"id", "name", "accounts": [{"chain_id", "address",
// "derivation_path"}, ...], "created_at"} dictionaries, newest first by
// "created_at" and in directory order among equal times. A new reference, or
// nullptr with an error set.
[[nodiscard]] PyObject* list_wallets_result(const qel_lib::ops::OptPath& vault);

}  // namespace qel_py
