"""Python module definition."""

from typing import TypedDict

class AccountDict(TypedDict):
    chain_id: str
    address: str
    derivation_path: str

class WalletDict(TypedDict):
    id: str
    name: str
    accounts: list[AccountDict]
    created_at: str

class SignatureDict(TypedDict):
    signature: str
    recovery_id: int | None

class BroadcastDict(TypedDict):
    tx_hash: str

def generate_mnemonic(words: int = 12) -> str:
    """Generate a new BIP-39 mnemonic phrase."""

def derive_address(mnemonic: str, chain: str, index: int | None = None) -> str:
    """Derive an address from a mnemonic for the given chain."""

def create_wallet(
    name: str,
    passphrase: str | None = None,
    words: int | None = None,
    vault_path_opt: str | None = None,
) -> WalletDict:
    """Create a new universal wallet (derives addresses for all chains)."""

def import_wallet_mnemonic(
    name: str,
    mnemonic: str,
    passphrase: str | None = None,
    index: int | None = None,
    vault_path_opt: str | None = None,
) -> WalletDict:
    """Import a wallet from a mnemonic phrase (derives addresses for all chains)."""

def import_wallet_private_key(
    name: str,
    private_key_hex: str,
    chain: str | None = None,
    passphrase: str | None = None,
    vault_path_opt: str | None = None,
    secp256k1_key: str | None = None,
    ed25519_key: str | None = None,
) -> WalletDict:
    """Import a wallet from a hex-encoded private key (derives addresses for all chains).
    Optionally specify explicit keys per curve via `secp256k1_key` and `ed25519_key`."""

def list_wallets(vault_path_opt: str | None = None) -> list[WalletDict]:
    """List all wallets in the vault."""

def get_wallet(name_or_id: str, vault_path_opt: str | None = None) -> WalletDict:
    """Get a single wallet by name or ID."""

def delete_wallet(name_or_id: str, vault_path_opt: str | None = None) -> None:
    """Delete a wallet from the vault."""

def export_wallet(
    name_or_id: str,
    passphrase: str | None = None,
    vault_path_opt: str | None = None,
) -> str:
    """Export a wallet's secret (mnemonic or private key)."""

def rename_wallet(name_or_id: str, new_name: str, vault_path_opt: str | None = None) -> None:
    """Rename a wallet."""

def sign_transaction(
    wallet: str,
    chain: str,
    tx_hex: str,
    passphrase: str | None = None,
    index: int | None = None,
    vault_path_opt: str | None = None,
) -> SignatureDict:
    """Sign a transaction."""

def sign_message(
    wallet: str,
    chain: str,
    message: str,
    passphrase: str | None = None,
    encoding: str | None = None,
    index: int | None = None,
    vault_path_opt: str | None = None,
) -> SignatureDict:
    """Sign a message."""

def sign_and_send(
    wallet: str,
    chain: str,
    tx_hex: str,
    passphrase: str | None = None,
    index: int | None = None,
    rpc_url: str | None = None,
    vault_path_opt: str | None = None,
) -> BroadcastDict:
    """Sign and broadcast a transaction."""
