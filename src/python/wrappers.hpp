#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// The thirteen module functions, all with the METH_FASTCALL | METH_KEYWORDS
// calling convention.
namespace qel_py {

#define QEL_PY_FUNCTION(name) PyObject* name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
QEL_PY_FUNCTION(generate_mnemonic);
QEL_PY_FUNCTION(derive_address);
QEL_PY_FUNCTION(create_wallet);
QEL_PY_FUNCTION(import_wallet_mnemonic);
QEL_PY_FUNCTION(import_wallet_private_key);
QEL_PY_FUNCTION(list_wallets);
QEL_PY_FUNCTION(get_wallet);
QEL_PY_FUNCTION(delete_wallet);
QEL_PY_FUNCTION(export_wallet);
QEL_PY_FUNCTION(rename_wallet);
QEL_PY_FUNCTION(sign_transaction);
QEL_PY_FUNCTION(sign_message);
QEL_PY_FUNCTION(sign_and_send);
#undef QEL_PY_FUNCTION

}  // namespace qel_py
