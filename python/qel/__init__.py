"""qel: a local multi-chain wallet and signing library."""


class PanicException(BaseException):
    """An internal fault inside the native module (a broken invariant).

    It derives from BaseException so that ``except Exception`` handlers meant
    for failed operations (RuntimeError) do not swallow it.
    """


# Defined before the import below: the native module looks the type up here.
from qel._native import (  # noqa: E402
    create_wallet,
    delete_wallet,
    derive_address,
    export_wallet,
    generate_mnemonic,
    get_wallet,
    import_wallet_mnemonic,
    import_wallet_private_key,
    list_wallets,
    rename_wallet,
    sign_and_send,
    sign_message,
    sign_transaction,
)
from qel._extras import (  # noqa: E402
    change_passphrase,
    export_wallet_keystore,
    get_public_key,
    import_wallet_keystore,
    sign_and_send_cancellable,
    sign_typed_data,
    verify_message,
)

# Complete transactions of every family.
from qel._extras import (  # noqa: E402
    broadcast_transaction,
    describe_transaction,
    sign_and_encode,
    sign_authorization,
)

__all__ = [
    "PanicException",
    "broadcast_transaction",
    "describe_transaction",
    "change_passphrase",
    "create_wallet",
    "delete_wallet",
    "derive_address",
    "export_wallet",
    "export_wallet_keystore",
    "generate_mnemonic",
    "get_public_key",
    "get_wallet",
    "import_wallet_mnemonic",
    "import_wallet_keystore",
    "import_wallet_private_key",
    "list_wallets",
    "rename_wallet",
    "sign_and_encode",
    "sign_and_send",
    "sign_and_send_cancellable",
    "sign_authorization",
    "sign_message",
    "sign_transaction",
    "sign_typed_data",
    "verify_message",
]
