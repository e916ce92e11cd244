"""Signing with stored wallets, checked against independent implementations."""

from __future__ import annotations

import hashlib
from pathlib import Path

import coincurve
import pytest
from eth_account import Account
from eth_account.messages import encode_defunct
from nacl.signing import VerifyKey

import qel
from _support import ABANDON, b58decode, known_accounts, load

KNOWN = known_accounts()
PASS = "sign-pass"
UNKNOWN_CHAIN = "invalid input: unknown chain: '{}'. Use a chain name (ethereum, solana, bitcoin, ...) or CAIP-2 ID (eip155:1, ...)"


@pytest.fixture(scope="module")
def vault(tmp_path_factory: pytest.TempPathFactory) -> str:
    root = str(tmp_path_factory.mktemp("signing") / "vault")
    qel.import_wallet_mnemonic("abandon", ABANDON, passphrase=PASS, vault_path_opt=root)
    qel.import_wallet_mnemonic("at2", ABANDON, passphrase=PASS, index=2, vault_path_opt=root)
    qel.import_wallet_private_key("keys", "", passphrase=PASS, vault_path_opt=root,
                                  secp256k1_key=KNOWN[("tron", 1)]["private_key_hex"],
                                  ed25519_key=KNOWN[("ton", 1)]["private_key_hex"])
    return root


def sign_message(vault: str, chain: str, message: str, wallet: str = "abandon", **kw: object) -> dict:
    return qel.sign_message(wallet, chain, message, passphrase=PASS, vault_path_opt=vault, **kw)


def recover_compressed(sig_hex: str, digest: bytes) -> str:
    sig = bytes.fromhex(sig_hex)
    return coincurve.PublicKey.from_signature_and_message(sig, digest, hasher=None).format().hex()


def compact_size(n: int) -> bytes:
    return bytes([n]) if n < 253 else b"\xfd" + n.to_bytes(2, "little")


def test_evm_message_recovers_to_wallet_address(vault: str) -> None:
    for message in ["hello", "", "x" * 300]:
        sig = sign_message(vault, "polygon", message)
        assert list(sig) == ["signature", "recovery_id"]
        assert sig["recovery_id"] in (27, 28) and int(sig["signature"][-2:], 16) == sig["recovery_id"]
        recovered = Account.recover_message(encode_defunct(text=message), signature=bytes.fromhex(sig["signature"]))
        assert recovered == KNOWN[("evm", 0)]["address"]
        # utf8 is the default encoding
        assert sign_message(vault, "evm", message, encoding="utf8") == sig


@pytest.mark.parametrize("family", ["bitcoin", "cosmos", "tron"])
def test_secp256k1_messages_recover_to_account_keys(vault: str, family: str) -> None:
    message = b"qel message"
    sig = sign_message(vault, family, message.decode())
    assert len(sig["signature"]) == 130 and sig["recovery_id"] == int(sig["signature"][-2:], 16) < 4
    if family == "bitcoin":
        prefixed = b"\x18Bitcoin Signed Message:\n" + compact_size(len(message)) + message
        digest = hashlib.sha256(hashlib.sha256(prefixed).digest()).digest()
    elif family == "cosmos":
        digest = hashlib.sha256(message).digest()
    else:
        from eth_hash.auto import keccak

        digest = keccak(b"\x19TRON Signed Message:\n" + str(len(message)).encode() + message)
    assert recover_compressed(sig["signature"], digest) == KNOWN[(family, 0)]["public_key_hex_compressed"]


def test_ed25519_messages_verify(vault: str) -> None:
    message = "gm"
    sol = sign_message(vault, "solana", message)
    assert sol["recovery_id"] is None and len(sol["signature"]) == 128
    VerifyKey(b58decode(KNOWN[("solana", 0)]["address"])).verify(message.encode(), bytes.fromhex(sol["signature"]))
    ton = sign_message(vault, "ton:mainnet", message)
    VerifyKey(bytes.fromhex(KNOWN[("ton", 0)]["public_key_hex"])).verify(message.encode(),
                                                                         bytes.fromhex(ton["signature"]))


def test_hex_encoding(vault: str) -> None:
    assert sign_message(vault, "cosmos", "68656C6C6F", encoding="hex") == sign_message(vault, "cosmos", "hello")
    with pytest.raises(RuntimeError) as e:
        sign_message(vault, "cosmos", "0x68656c6c6f", encoding="hex")
    assert str(e.value) == "invalid input: invalid hex message: Invalid character 'x' at position 1"
    for bad in ("UTF8", "Hex", ""):
        with pytest.raises(RuntimeError) as e:
            sign_message(vault, "cosmos", "hi", encoding=bad)
        assert str(e.value) == f"invalid input: unsupported encoding: {bad} (use 'utf8' or 'hex')"


def test_evm_transactions(vault: str) -> None:
    unsigned = load("eip1559.json")["vectors"][0]["unsigned_hex"]
    plain = qel.sign_transaction("abandon", "ethereum", unsigned, passphrase=PASS, vault_path_opt=vault)
    prefixed = qel.sign_transaction("abandon", "base", "0x" + unsigned, passphrase=PASS, vault_path_opt=vault)
    assert plain == prefixed and plain["recovery_id"] in (0, 1)
    from eth_hash.auto import keccak

    digest = keccak(bytes.fromhex(unsigned))
    assert recover_compressed(plain["signature"], digest) == KNOWN[("evm", 0)]["public_key_hex_compressed"]


@pytest.mark.parametrize(("chain", "digest"), [
    ("bitcoin", lambda b: hashlib.sha256(hashlib.sha256(b).digest()).digest()),
    ("tron", lambda b: hashlib.sha256(b).digest()),
    ("cosmos", lambda b: hashlib.sha256(b).digest()),
])
def test_secp256k1_transactions(vault: str, chain: str, digest) -> None:  # noqa: ANN001
    raw = bytes(range(40))
    sig = qel.sign_transaction("abandon", chain, raw.hex(), passphrase=PASS, vault_path_opt=vault)
    family = chain
    assert recover_compressed(sig["signature"], digest(raw)) == KNOWN[(family, 0)]["public_key_hex_compressed"]


def test_solana_and_ton_transactions_sign_bytes_as_given(vault: str) -> None:
    raw = b"\x01" + bytes(64) + b"message"
    for chain, key in (("solana", b58decode(KNOWN[("solana", 0)]["address"])),
                       ("ton", bytes.fromhex(KNOWN[("ton", 0)]["public_key_hex"]))):
        sig = qel.sign_transaction("abandon", chain, raw.hex(), passphrase=PASS, vault_path_opt=vault)
        assert sig["recovery_id"] is None
        VerifyKey(key).verify(raw, bytes.fromhex(sig["signature"]))


def test_index_selects_the_key(vault: str) -> None:
    listed = qel.get_wallet("at2", vault)["accounts"][0]["address"]
    assert listed == qel.derive_address(ABANDON, "ethereum", 2)
    for index, expected in ((None, KNOWN[("evm", 0)]["address"]), (2, listed)):
        sig = sign_message(vault, "ethereum", "m", wallet="at2", index=index)
        assert Account.recover_message(encode_defunct(text="m"), signature=bytes.fromhex(sig["signature"])) == expected


def test_private_key_wallet_ignores_index(vault: str) -> None:
    a = sign_message(vault, "tron", "m", wallet="keys")
    assert sign_message(vault, "tron", "m", wallet="keys", index=7) == a
    from eth_hash.auto import keccak

    digest = keccak(b"\x19TRON Signed Message:\n1m")
    assert recover_compressed(a["signature"], digest) == KNOWN[("tron", 1)]["public_key_hex_compressed"]
    sol = sign_message(vault, "solana", "m", wallet="keys", index=3)
    VerifyKey(bytes.fromhex(KNOWN[("ton", 1)]["public_key_hex"])).verify(b"m", bytes.fromhex(sol["signature"]))


def test_failures_in_order(vault: str) -> None:
    def err(fn, *args, **kw) -> str:  # noqa: ANN001
        with pytest.raises(RuntimeError) as e:
            fn(*args, **kw)
        return str(e.value)

    # Malformed input is reported before the passphrase is tried.
    assert err(qel.sign_transaction, "abandon", "ethereum", "abc", passphrase="wrong",
               vault_path_opt=vault) == "invalid input: invalid hex transaction: Odd number of digits"
    assert err(qel.sign_transaction, "abandon", "ethereum", "0X00", passphrase="wrong",
               vault_path_opt=vault) == "invalid input: invalid hex transaction: Invalid character 'X' at position 1"
    assert err(qel.sign_message, "nobody", "Ethereum ", "m", vault_path_opt=vault) == UNKNOWN_CHAIN.format("Ethereum ")
    assert err(qel.sign_message, "nobody", "ethereum", "m", encoding="base64",
               vault_path_opt=vault) == "invalid input: unsupported encoding: base64 (use 'utf8' or 'hex')"
    assert err(qel.sign_message, "nobody", "ethereum", "m", vault_path_opt=vault) == "wallet not found: 'nobody'"
    for fn, payload in ((qel.sign_message, "m"), (qel.sign_transaction, "00")):
        assert err(fn, "abandon", "ethereum", payload, passphrase="wrong",
                   vault_path_opt=vault) == "decryption failed: aead::Error"
        assert err(fn, "abandon", "ethereum", payload, vault_path_opt=vault) == "decryption failed: aead::Error"


def test_tampered_stored_key_pair(tmp_path: Path) -> None:
    """Key-pair plaintexts that are not what the library writes fail with their messages."""
    import json
    import os

    from cryptography.hazmat.primitives.ciphers.aead import AESGCM

    vault = str(tmp_path / "v")
    w = qel.import_wallet_private_key("k", "11" * 32, vault_path_opt=vault)
    path = Path(vault) / "wallets" / f"{w['id']}.json"
    stored = json.loads(path.read_text())
    salt = os.urandom(32)
    key = hashlib.scrypt(b"", salt=salt, n=2**18, r=8, p=1, maxmem=2**30, dklen=32)
    cases = [
        (b"\xff", "invalid input: invalid key pair data"),
        (b"[1]", "invalid input: missing secp256k1 key"),
        (b'{"secp256k1": "11", "ed25519": 5}', "invalid input: missing ed25519 key"),
        (b'{"secp256k1": "0x11", "ed25519": "22"}', "invalid input: invalid secp256k1 hex: Invalid character 'x' at position 1"),
        (b'{"secp256k1": "11", "ed25519": "2"}', "invalid input: invalid ed25519 hex: Odd number of digits"),
    ]
    for plaintext, message in cases:
        iv = os.urandom(12)
        sealed = AESGCM(key).encrypt(iv, plaintext, None)
        stored["crypto"] = {"cipher": "aes-256-gcm", "cipherparams": {"iv": iv.hex()}, "ciphertext": sealed[:-16].hex(),
                            "auth_tag": sealed[-16:].hex(), "kdf": "scrypt",
                            "kdfparams": {"dklen": 32, "n": 2**18, "r": 8, "p": 1, "salt": salt.hex()}}
        path.write_text(json.dumps(stored))
        with pytest.raises(RuntimeError) as e:
            qel.sign_message("k", "ethereum", "m", vault_path_opt=vault)
        assert str(e.value) == message
