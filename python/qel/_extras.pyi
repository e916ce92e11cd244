"""Wallet operations beyond the core set: passphrase changes, signature checks, typed data, keystores."""

from typing import Protocol, TypedDict

from qel._native import BroadcastDict, SignatureDict, WalletDict

class Cancel(Protocol):
    """What `sign_and_send_cancellable` and `broadcast_transaction` ask whether to stop, such as a
    threading.Event."""

    def is_set(self) -> bool: ...

def change_passphrase(
    name_or_id: str,
    old_passphrase: str,
    new_passphrase: str,
    vault_path_opt: str | None = None,
) -> WalletDict:
    """Re-encrypt a wallet's secret under a new passphrase (same wallet, same addresses)."""

def verify_message(
    chain: str,
    message: str,
    signature_hex: str,
    address: str | None = None,
    public_key_hex: str | None = None,
    encoding: str | None = None,
) -> bool:
    """Check a signature made by sign_message against an address or public key; True or False."""

def sign_typed_data(
    wallet: str,
    chain: str,
    typed_data_json: str,
    passphrase: str | None = None,
    index: int | None = None,
    vault_path_opt: str | None = None,
) -> SignatureDict:
    """Sign EIP-712 typed data (JSON text) with the wallet's EVM key."""

def import_wallet_keystore(
    name: str,
    keystore_json: str,
    keystore_password: str,
    passphrase: str | None = None,
    vault_path_opt: str | None = None,
) -> WalletDict:
    """Import the key of an encrypted Ethereum keystore (version 3) as a private-key wallet."""

def export_wallet_keystore(
    name_or_id: str,
    passphrase: str | None = None,
    keystore_password: str | None = None,
    index: int | None = None,
    vault_path_opt: str | None = None,
) -> str:
    """Export the wallet's EVM key as an encrypted Ethereum keystore (version 3, JSON text).
    The keystore password defaults to the wallet passphrase."""

def sign_and_send_cancellable(
    wallet: str,
    chain: str,
    tx_hex: str,
    passphrase: str | None = None,
    index: int | None = None,
    rpc_url: str | None = None,
    vault_path_opt: str | None = None,
    cancel: Cancel | None = None,
) -> BroadcastDict:
    """sign_and_send that another thread can stop: once cancel.is_set() is true (a threading.Event),
    curl is killed and the call raises RuntimeError('interrupted')."""

# The public keys of stored accounts.

def get_public_key(
    wallet: str,
    chain: str,
    passphrase: str | None = None,
    index: int | None = None,
    vault_path_opt: str | None = None,
) -> str:
    """The public key (hex) of the wallet's account on a chain: compressed SEC1 on secp256k1
    chains, 32 bytes on Ed25519 ones."""

# ---- complete transactions of every family ----

class EncodedTransactionDict(TypedDict):
    signed_tx: str
    tx_hash: str

class AuthorizationDict(TypedDict):
    chain_id: int
    address: str
    nonce: int
    y_parity: int
    r: str
    s: str

def sign_and_encode(
    wallet: str,
    chain: str,
    unsigned_tx: str,
    passphrase: str | None = None,
    index: int | None = None,
    vault_path_opt: str | None = None,
) -> EncodedTransactionDict:
    """Sign a chain's own unsigned transaction and encode it as the chain's broadcast API takes it;
    {'signed_tx': ..., 'tx_hash': ...}."""

def sign_authorization(
    wallet: str,
    chain_id: int,
    address: str,
    nonce: int,
    passphrase: str | None = None,
    index: int | None = None,
    vault_path_opt: str | None = None,
) -> AuthorizationDict:
    """Sign an EIP-7702 authorization with the wallet's EVM key (chain_id 0: every chain)."""

def broadcast_transaction(
    chain: str,
    signed_tx: str,
    rpc_url: str | None = None,
    cancel: Cancel | None = None,
) -> BroadcastDict:
    """Send a signed transaction (as sign_and_encode gives it) to the chain's own API; {'tx_hash': ...}.
    Once cancel.is_set() is true (a threading.Event), curl is killed and the call raises
    RuntimeError('interrupted')."""

def describe_transaction(
    chain: str,
    unsigned_tx: str,
) -> dict[str, str]:
    """What an unsigned transaction (as sign_and_encode takes it) says about where value goes; {label: value}."""
