"""Signing with stored wallets, checked against independent implementations: eth-account for
EVM, coincurve's public-key recovery for the other secp256k1 families, PyNaCl for Ed25519."""

from __future__ import annotations

from pathlib import Path

import coincurve
import pytest
from eth_account import Account
from eth_account.messages import encode_defunct
from nacl.signing import VerifyKey
from solders.pubkey import Pubkey

import qel
from _support import KNOWN, PASS, VECTOR, secp_digest

VEC_PUBLIC = coincurve.PrivateKey(bytes.fromhex(VECTOR["private_key_hex"])).public_key.format().hex()
PUBLIC = {k: v.get("public_key_hex_compressed") or v["public_key_hex"] for k, v in KNOWN.items()}


# wallet, chain, message, options, family, and the signer: its address or public key, or "listed": the
# wallet's own Solana account
MESSAGES = [
    ("abandon", "polygon", "x" * 300, {}, "evm", KNOWN[("evm", 0)]["address"]),
    ("at1", "ethereum", "", {}, "evm", KNOWN[("evm", 0)]["address"]),  # index 0 whatever the imported index
    ("at1", "ethereum", "hello", {"index": 1, "encoding": "utf8"}, "evm", KNOWN[("evm", 1)]["address"]),
    ("abandon", "bitcoin", "qel message", {}, "bitcoin", PUBLIC[("bitcoin", 0)]),
    ("abandon", "cosmos", "68656C6C6F", {"encoding": "hex"}, "cosmos", PUBLIC[("cosmos", 0)]),
    ("abandon", "tron", "hello", {}, "tron", PUBLIC[("tron", 0)]),
    ("vec", "tron", "m", {"index": 7}, "tron", VEC_PUBLIC),  # a key pair has one key per curve
    ("abandon", "solana", "gm", {}, "solana", KNOWN[("solana", 0)]["address"]),
    ("abandon", "ton:mainnet", "gm", {}, "ton", PUBLIC[("ton", 0)]),
    ("vec", "solana", "gm", {"index": 3}, "solana", "listed"),
]


@pytest.mark.parametrize("wallet,chain,message,options,family,signer", MESSAGES)
def test_messages(shared: Path, wallet: str, chain: str, message: str, options: dict, family: str,
                  signer: str) -> None:
    sig = qel.sign_message(wallet, chain, message, passphrase=PASS, vault_path_opt=str(shared), **options)
    data, signature = bytes.fromhex(message) if options.get("encoding") == "hex" else message.encode(), bytes.fromhex(sig["signature"])
    assert list(sig) == ["signature", "recovery_id"]
    if family == "evm":
        assert sig["recovery_id"] in (27, 28) and signature[-1] == sig["recovery_id"]
        assert Account.recover_message(encode_defunct(primitive=data), signature=signature) == signer
    elif family in ("bitcoin", "cosmos", "tron"):
        assert len(signature) == 65 and signature[-1] == sig["recovery_id"] < 4
        recovered = coincurve.PublicKey.from_signature_and_message(signature, secp_digest(family, data), hasher=None)
        assert recovered.format().hex() == signer
    else:
        signer = qel.get_wallet(wallet, str(shared))["accounts"][1]["address"] if signer == "listed" else signer
        assert sig["recovery_id"] is None and len(signature) == 64
        VerifyKey(bytes(Pubkey.from_string(signer)) if family == "solana" else bytes.fromhex(signer)).verify(data, signature)


def test_solana_transactions_are_signed_as_given(shared: Path) -> None:
    raw = b"\x01" + bytes(64) + b"message"  # signed as given, slots and all
    sig = qel.sign_transaction("abandon", "solana", raw.hex(), passphrase=PASS, vault_path_opt=str(shared))
    assert sig["recovery_id"] is None
    VerifyKey(bytes(Pubkey.from_string(KNOWN[("solana", 0)]["address"]))).verify(raw, bytes.fromhex(sig["signature"]))


@pytest.mark.parametrize(("wallet", "chain", "index", "public"), [
    *[("abandon", chain, None, PUBLIC[(family, 0)]) for family, chain in [
        ("evm", "base"), ("bitcoin", "bitcoin"), ("cosmos", "cosmos"), ("tron", "tron"), ("solana", "solana"), ("ton", "ton")]],
    ("at1", "ton", 1, PUBLIC[("ton", 1)]),
    ("vec", "eip155:1", None, VEC_PUBLIC),
])
def test_public_keys_of_stored_accounts(shared: Path, wallet: str, chain: str, index: int | None, public: str) -> None:
    assert qel.get_public_key(wallet, chain, PASS, index, str(shared)) == public
