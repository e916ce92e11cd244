"""Ethereum keystores in and out, against eth-account."""

from __future__ import annotations

import json
import uuid
from pathlib import Path

import pytest
from eth_account import Account

import qel
from _support import KNOWN, PASS


def test_export_decrypts_with_eth_account(shared: Path) -> None:
    exported = json.loads(qel.export_wallet_keystore("abandon", passphrase=PASS, keystore_password="other",
                                                     vault_path_opt=str(shared)))
    assert Account.decrypt(exported, "other").hex() == KNOWN[("evm", 0)]["private_key_hex"]
    assert exported["address"] == KNOWN[("evm", 0)]["address"][2:].lower()
    assert exported["version"] == 3 and uuid.UUID(exported["id"]).version == 4
    crypto = exported["crypto"]
    assert (crypto["kdf"], *map(crypto["kdfparams"].get, ["n", "r", "p", "dklen"])) == ("scrypt", 262144, 8, 1, 32)


def test_imports_what_eth_account_writes_and_failures_write_nothing(vault: Path) -> None:
    key = bytes(range(1, 33))
    # Foreign files may be cheaper than ours; any cost within the limits is read.
    good = json.dumps(Account.encrypt(key, "kspw", kdf="pbkdf2", iterations=4096))
    assert qel.import_wallet_keystore("taken", good, "kspw", vault_path_opt=str(vault))["accounts"][0]["address"] == \
        Account.from_key(key).address
    before = sorted((vault / "wallets").iterdir())  # temporary files included
    for name, keystore, password, message in [
        ("taken", good, "kspw", "wallet name already exists: 'taken'"),
        ("new", good, "wrong", "decryption failed: keystore password is wrong or the file is corrupted"),
        ("new", json.dumps({"version": 3}), "kspw", "invalid input: invalid keystore: missing field `crypto`"),
    ]:
        with pytest.raises(RuntimeError) as e:
            qel.import_wallet_keystore(name, keystore, password, vault_path_opt=str(vault))
        assert (str(e.value), sorted((vault / "wallets").iterdir())) == (message, before)
