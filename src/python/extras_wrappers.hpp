#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// The functions of the _extras module, all with the METH_FASTCALL |
// METH_KEYWORDS calling convention.
namespace qel_py::extras {

#define QEL_PY_FUNCTION(name) PyObject* name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
QEL_PY_FUNCTION(change_passphrase);
QEL_PY_FUNCTION(verify_message);
QEL_PY_FUNCTION(sign_typed_data);
QEL_PY_FUNCTION(import_wallet_keystore);
QEL_PY_FUNCTION(export_wallet_keystore);
QEL_PY_FUNCTION(sign_and_send_cancellable);
// The public keys of stored accounts.
QEL_PY_FUNCTION(get_public_key);
// complete transactions of every family
QEL_PY_FUNCTION(sign_and_encode);
QEL_PY_FUNCTION(sign_authorization);
QEL_PY_FUNCTION(broadcast_transaction);
QEL_PY_FUNCTION(describe_transaction);
#undef QEL_PY_FUNCTION

}  // namespace qel_py::extras
