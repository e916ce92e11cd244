"""Awaitable versions of the qel functions, for asyncio programs.

Each function takes the same parameters (but `broadcast_transaction`'s
`cancel`: cancel the await instead) and gives the same result or exception as
the function of the same name in `qel`, and runs it in the event loop's
default thread pool: the wallet work happens with the interpreter lock
released, so the loop goes on serving other tasks.

Cancelling `sign_and_send` or `broadcast_transaction` while it waits on the
node kills curl, waits for the call to end (within a tenth of a second) and
raises CancelledError; the wallet and vault are left as Ctrl-C leaves them,
and the transaction may or may not have reached the node. Any other call,
once started, runs to its end in its thread when cancelled; its result is
dropped.
"""

from __future__ import annotations

import asyncio
import functools
import threading
from collections.abc import Callable, Coroutine
from typing import TYPE_CHECKING, Any, ParamSpec, TypeVar

import qel
from qel import _extras, _native

if TYPE_CHECKING:
    from qel._native import BroadcastDict

_P = ParamSpec("_P")
_R = TypeVar("_R")


def _in_thread(function: Callable[_P, _R]) -> Callable[_P, Coroutine[Any, Any, _R]]:
    @functools.wraps(function)
    async def call(*args: _P.args, **kwargs: _P.kwargs) -> _R:
        return await asyncio.to_thread(function, *args, **kwargs)

    return call


generate_mnemonic = _in_thread(_native.generate_mnemonic)
derive_address = _in_thread(_native.derive_address)
create_wallet = _in_thread(_native.create_wallet)
import_wallet_mnemonic = _in_thread(_native.import_wallet_mnemonic)
import_wallet_private_key = _in_thread(_native.import_wallet_private_key)
list_wallets = _in_thread(_native.list_wallets)
get_wallet = _in_thread(_native.get_wallet)
delete_wallet = _in_thread(_native.delete_wallet)
export_wallet = _in_thread(_native.export_wallet)
rename_wallet = _in_thread(_native.rename_wallet)
sign_transaction = _in_thread(_native.sign_transaction)
sign_message = _in_thread(_native.sign_message)

change_passphrase = _in_thread(_extras.change_passphrase)
verify_message = _in_thread(_extras.verify_message)
sign_typed_data = _in_thread(_extras.sign_typed_data)
import_wallet_keystore = _in_thread(_extras.import_wallet_keystore)
export_wallet_keystore = _in_thread(_extras.export_wallet_keystore)
sign_and_send_cancellable = _in_thread(_extras.sign_and_send_cancellable)
get_public_key = _in_thread(_extras.get_public_key)
sign_and_encode = _in_thread(_extras.sign_and_encode)
sign_authorization = _in_thread(_extras.sign_authorization)
describe_transaction = _in_thread(_extras.describe_transaction)


async def _until_cancelled(function: Callable[..., _R], *args: object) -> _R:
    """`function(*args, cancel)` in the thread pool; cancelling the await sets `cancel`, which kills
    curl, and waits for the call to end (within a tenth of a second), so that nothing of it outlives
    the cancellation."""
    cancel = threading.Event()
    work = asyncio.get_running_loop().run_in_executor(None, functools.partial(function, *args, cancel))
    try:
        return await asyncio.shield(work)
    except asyncio.CancelledError:
        cancel.set()
        while not work.done():
            try:
                await asyncio.wait([work])
            except asyncio.CancelledError:
                pass
        if not work.cancelled():
            work.exception()  # the call's own "interrupted" is the expected end; it is not reported as unretrieved
        raise


async def sign_and_send(
    wallet: str,
    chain: str,
    tx_hex: str,
    passphrase: str | None = None,
    index: int | None = None,
    rpc_url: str | None = None,
    vault_path_opt: str | None = None,
) -> BroadcastDict:
    """Sign and broadcast a transaction; cancelling the await stops curl."""
    return await _until_cancelled(_extras.sign_and_send_cancellable, wallet, chain, tx_hex, passphrase, index, rpc_url,
                                  vault_path_opt)


async def broadcast_transaction(chain: str, signed_tx: str, rpc_url: str | None = None) -> BroadcastDict:
    """Send a signed transaction to the chain's own API; cancelling the await stops curl."""
    return await _until_cancelled(_extras.broadcast_transaction, chain, signed_tx, rpc_url)


# The same names as the package, each awaitable.
__all__ = [name for name in qel.__all__ if name != "PanicException"]
