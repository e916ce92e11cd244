"""Ethereum keystores in and out, against eth-account."""

from __future__ import annotations

import json
import uuid
from pathlib import Path

import pytest
from eth_account import Account

import qel
from _support import CHAIN_IDS, KNOWN, PASS


@pytest.mark.parametrize("kdf", ["scrypt", "pbkdf2"])
def test_imports_what_eth_account_writes(kdf: str, vault: Path) -> None:
    key = bytes(range(1, 33))
    # Foreign files may be cheaper than ours; any cost within the limits is read.
    keystore = Account.encrypt(key, "kspw", kdf=kdf, iterations=1024 if kdf == "scrypt" else 4096)
    wallet = qel.import_wallet_keystore("k", json.dumps(keystore), "kspw", passphrase="pw", vault_path_opt=str(vault))
    assert [a["chain_id"] for a in wallet["accounts"]] == CHAIN_IDS
    assert wallet["accounts"][0]["address"] == Account.from_key(key).address
    assert all(a["derivation_path"] == "" for a in wallet["accounts"])
    assert json.loads(qel.export_wallet("k", passphrase="pw", vault_path_opt=str(vault)))["secp256k1"] == key.hex()


def test_export_decrypts_with_eth_account(shared: Path) -> None:
    default = json.loads(qel.export_wallet_keystore("abandon", passphrase=PASS, vault_path_opt=str(shared)))
    assert Account.decrypt(default, PASS).hex() == KNOWN[("evm", 0)]["private_key_hex"]
    assert default["address"] == KNOWN[("evm", 0)]["address"][2:].lower()
    assert default["version"] == 3 and uuid.UUID(default["id"]).version == 4
    params = default["crypto"]["kdfparams"]
    assert (default["crypto"]["kdf"], params["n"], params["r"], params["p"], params["dklen"]) == ("scrypt", 262144,
                                                                                                    8, 1, 32)
    other = qel.export_wallet_keystore("abandon", passphrase=PASS, keystore_password="other", index=1,
                                       vault_path_opt=str(shared))
    assert Account.decrypt(other, "other").hex() == KNOWN[("evm", 1)]["private_key_hex"]


def test_failures_write_nothing(vault: Path) -> None:
    good = json.dumps(Account.encrypt(bytes(range(1, 33)), "kspw", kdf="pbkdf2", iterations=4096))
    qel.import_wallet_keystore("taken", good, "kspw", vault_path_opt=str(vault))
    before = sorted((vault / "wallets").iterdir())  # temporary files included
    cases = [
        (("taken", good, "kspw"), "wallet name already exists: 'taken'"),
        (("new", good, "wrong"), "decryption failed: keystore password is wrong or the file is corrupted"),
        (("new", json.dumps({"version": 3}), "kspw"), "invalid input: invalid keystore: missing field `crypto`"),
    ]
    for args, message in cases:
        with pytest.raises(RuntimeError) as e:
            qel.import_wallet_keystore(*args, vault_path_opt=str(vault))
        assert str(e.value) == message
    assert sorted((vault / "wallets").iterdir()) == before
