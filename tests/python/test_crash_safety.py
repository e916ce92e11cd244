"""A wallet survives its process being killed at any moment of a rename."""

from __future__ import annotations

import json
import os
import random
import signal
import subprocess
import sys
import time
from pathlib import Path

import qel
from _support import ABANDON

RENAME_LOOP = """
import sys, qel
vault = sys.argv[1]
wallet_id = sys.argv[2]
print("ready", flush=True)
i = 0
while True:
    qel.rename_wallet(wallet_id, f"name-{i}", vault)
    i += 1
"""


def test_killed_renames_never_lose_the_wallet(tmp_path: Path) -> None:
    vault = str(tmp_path / "vault")
    wallet = qel.import_wallet_mnemonic("start", ABANDON, passphrase="pw", vault_path_opt=vault)
    wallets_dir = Path(vault) / "wallets"
    original = json.loads((wallets_dir / f"{wallet['id']}.json").read_text())
    rng = random.Random(1234)
    for _ in range(40):
        child = subprocess.Popen([sys.executable, "-c", RENAME_LOOP, vault, wallet["id"]],
                                 stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        assert child.stdout is not None and child.stdout.readline() == b"ready\n"
        time.sleep(rng.uniform(0.0, 0.03))
        os.kill(child.pid, signal.SIGKILL)
        child.wait()
        child.stdout.close()
        files = sorted(wallets_dir.glob("*.json"))
        assert [f.name for f in files] == [f"{wallet['id']}.json"]
        stored = json.loads(files[0].read_text())
        assert stored["crypto"] == original["crypto"]
        assert {k: v for k, v in stored.items() if k != "name"} == {k: v for k, v in original.items() if k != "name"}
        listed = qel.list_wallets(vault)
        assert [w["id"] for w in listed] == [wallet["id"]]
    assert qel.export_wallet(wallet["id"], passphrase="pw", vault_path_opt=vault) == ABANDON
