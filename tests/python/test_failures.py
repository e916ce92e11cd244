"""Every operation refuses bad input with its exact message and changes nothing in the vault.
Rows given the passphrase "wrong" fail before the wallet is unlocked."""

from __future__ import annotations

import inspect
import json
from pathlib import Path

import pytest

import qel
from _support import ABANDON, PASS, VECTOR, load, wallet_files
from _support import ETH_UNSIGNED as UNSIGNED

KEY = VECTOR["private_key_hex"]
MAIL = json.dumps(load("eip712.json")["vectors"][0]["typed_data"])  # its domain's chainId is 1
WORDS = "invalid input: words must be 12 or 24"
UNKNOWN = "invalid input: unknown chain: '{}'. Use a chain name (ethereum, solana, bitcoin, ...) or CAIP-2 ID (eip155:1, ...)"
BAD_KEY = "invalid input: invalid hex private key: "
BAD_TX = "invalid input: invalid hex transaction: "
ENCODING = "invalid input: unsupported encoding: {} (use 'utf8' or 'hex')"
AEAD = "decryption failed: aead::Error"
WRONG = {"passphrase": "wrong"}
SEND = {"passphrase": "wrong", "rpc_url": "http://127.0.0.1:9/"}

CASES = [
    (qel.generate_mnemonic, [0], {}, WORDS),
    (qel.create_wallet, ["abandon"], {"words": 15}, WORDS),  # before the name
    (qel.create_wallet, ["abandon"], {}, "wallet name already exists: 'abandon'"),
    (qel.derive_address, ["not a phrase", "ethereum "], {}, UNKNOWN.format("ethereum ")),  # the chain first
    (qel.import_wallet_mnemonic, ["abandon", ABANDON], {}, "wallet name already exists: 'abandon'"),
    (qel.import_wallet_private_key, ["x", "0X" + KEY], {}, BAD_KEY + "Invalid character 'X' at position 1"),
    (qel.import_wallet_private_key, ["x", KEY], {"ed25519_key": "zz"}, BAD_KEY + "Invalid character 'z' at position 0"),
    (qel.import_wallet_private_key, ["x", "11" * 33], {"chain": "ton"}, "invalid private key: expected 32 bytes, got 33"),
    (qel.import_wallet_private_key, ["x", ""], {"secp256k1_key": KEY, "ed25519_key": "abcd"},
     "invalid private key: expected 32 bytes, got 2"),
    (qel.get_wallet, ["ABANDON"], {}, "wallet not found: 'ABANDON'"),
    (qel.get_wallet, ["\x1b]0;" + "x" * 300], {}, "wallet not found: '\\x1b]0;" + "x" * 196 + "…'"),
    (qel.rename_wallet, ["abandon", "vec"], {}, "wallet name already exists: 'vec'"),
    (qel.export_wallet, ["abandon"], {}, AEAD),  # no passphrase is the empty one
    (qel.sign_transaction, ["abandon", "ethereum", "0X00"], WRONG, BAD_TX + "Invalid character 'X' at position 1"),
    (qel.sign_message, ["nobody", "Ethereum ", "m"], {}, UNKNOWN.format("Ethereum ")),
    (qel.sign_message, ["nobody", "ethereum", "m"], {"encoding": "base64"}, ENCODING.format("base64")),
    (qel.sign_message, ["abandon", "cosmos", "0x6869"], {"encoding": "hex", **WRONG},
     "invalid input: invalid hex message: Invalid character 'x' at position 1"),
    (qel.sign_typed_data, ["abandon", "solana", MAIL], WRONG,
     "invalid input: typed data (EIP-712) is signed on EVM chains only, not solana"),
    (qel.sign_typed_data, ["abandon", "polygon", MAIL], WRONG,
     "invalid input: typed data: domain.chainId 1 is not the chain id of polygon (137)"),
    (qel.sign_typed_data, ["abandon", "ethereum", MAIL + " " * (2**20 - len(MAIL) + 1)], WRONG,
     "invalid input: typed data is larger than 1 MiB"),
    (qel.sign_typed_data, ["abandon", "ethereum", MAIL.replace('"Mail"', '"Mail\\u001b[2J"', 1)], WRONG,
     "invalid input: typed data: types: `Mail\\x1b[2J` is not a valid type name"),
    (qel.change_passphrase, ["abandon", "wrong", "new"], {}, AEAD),
    (qel.verify_message, ["ethereum", "m", "abc"], {"address": "x"},
     "invalid input: invalid hex signature: Odd number of digits"),
    (qel.verify_message, ["ethereum", "m", "00" * 65], {"public_key_hex": "zz"},
     "invalid input: invalid hex public key: Invalid character 'z' at position 0"),
    (qel.verify_message, ["ethereum", "m", "00" * 65], {}, "invalid input: an address or a public key is needed to verify"),
    # Transactions that would go out signed over other bytes than a node reads, or not at all.
    (qel.sign_and_send, ["abandon", "ethereum", UNSIGNED + "00"], SEND, BAD_TX + "trailing bytes after the RLP list"),
    (qel.sign_and_send, ["abandon", "solana", "00" + "11" * 10], SEND, BAD_TX + "transaction has no signature slots"),
    (qel.sign_and_send, ["abandon", "cosmos", "00"], {**SEND, "passphrase": PASS},  # after unlocking
     "invalid transaction: encode_signed_transaction not implemented for cosmos"),
    # The endpoint is checked before unlocking.
    (qel.sign_and_send, ["abandon", "ethereum", UNSIGNED], {**WRONG, "rpc_url": "-K/some/file"},
     "broadcast failed: invalid RPC URL: '-K/some/file' is not an http:// or https:// URL"),
]


@pytest.mark.parametrize("func,args,kwargs,message", CASES, ids=[f"{c[0].__name__}-{i}" for i, c in enumerate(CASES)])
def test_refused(shared: Path, func, args: list, kwargs: dict, message: str) -> None:  # noqa: ANN001
    before = {p.name: p.read_bytes() for p in wallet_files(shared)}
    if "vault_path_opt" in inspect.signature(func).parameters:
        kwargs = {**kwargs, "vault_path_opt": str(shared)}
    with pytest.raises(RuntimeError) as e:
        func(*args, **kwargs)
    assert (type(e.value), e.value.args, e.value.__cause__) == (RuntimeError, (message,), None)
    assert {p.name: p.read_bytes() for p in wallet_files(shared)} == before
