"""change_passphrase: same wallet under a new passphrase, atomically."""

from __future__ import annotations

import hashlib
import json
import os
import subprocess
import sys
import time
from pathlib import Path

from cryptography.hazmat.primitives.ciphers.aead import AESGCM

import qel
from _support import ABANDON, PASS


def test_reseals_the_same_wallet_with_todays_parameters(vault: Path) -> None:
    vault = str(vault)
    wallet = qel.import_wallet_mnemonic("w", ABANDON, passphrase="old", index=2, vault_path_opt=vault)
    path = Path(vault) / "wallets" / f"{wallet['id']}.json"  # resealed below, independently, with a costlier p than ours
    stored = json.loads(path.read_text())
    salt, iv = os.urandom(32), os.urandom(12)
    key = hashlib.scrypt(b"old", salt=salt, n=2**18, r=8, p=2, maxmem=2**30, dklen=32)
    sealed = AESGCM(key).encrypt(iv, ABANDON.encode(), None)
    stored["crypto"] = {"cipher": "aes-256-gcm", "cipherparams": {"iv": iv.hex()}, "ciphertext": sealed[:-16].hex(),
                        "auth_tag": sealed[-16:].hex(), "kdf": "scrypt",
                        "kdfparams": {"dklen": 32, "n": 2**18, "r": 8, "p": 2, "salt": salt.hex()}}
    path.write_text(json.dumps(stored))
    assert qel.change_passphrase(wallet["name"], "old", "new", vault_path_opt=vault) == wallet
    after = json.loads(path.read_text())
    assert {k: v for k, v in after.items() if k != "crypto"} == {k: v for k, v in stored.items() if k != "crypto"}
    assert after["crypto"]["kdfparams"]["p"] == 1 and after["crypto"]["kdfparams"]["salt"] != salt.hex()
    assert qel.export_wallet(wallet["id"], passphrase="new", vault_path_opt=vault) == ABANDON  # the one envelope


CHANGE_ONCE = """
import sys, qel
print("ready", flush=True)
try:
    qel.change_passphrase(sys.argv[2], sys.argv[3], "new", sys.argv[1])
except RuntimeError as e:
    print(e, flush=True)
"""


def test_a_secret_changed_meanwhile_is_not_overwritten(scratch: Path) -> None:
    """The key stretching runs without the writer lock; what another writer saved meanwhile stays."""
    wallet, other = (qel.get_wallet(name, str(scratch)) for name in ("vec", "abandon"))
    path = scratch / "wallets" / f"{wallet['id']}.json"
    stored = json.loads(path.read_text())
    stored["crypto"] = json.loads((path.parent / f"{other['id']}.json").read_text())["crypto"]
    child = subprocess.Popen([sys.executable, "-c", CHANGE_ONCE, str(scratch), wallet["id"], PASS], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, text=True)
    assert child.stdout is not None and child.stdout.readline() == "ready\n"
    time.sleep(0.2)  # the child is stretching the old passphrase by now
    replacement = path.with_suffix(".tmp")
    replacement.write_text(json.dumps(stored))
    os.replace(replacement, path)
    out, _ = child.communicate(timeout=120)
    assert out == "invalid input: the wallet's secret was changed by another process meanwhile; nothing was written\n"
    assert json.loads(path.read_text()) == stored
