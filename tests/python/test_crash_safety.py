"""A wallet survives its process being killed at any moment of a rename."""

from __future__ import annotations

import json
import os
import random
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import qel
from _support import ABANDON, PASS

RENAME_LOOP = """
import itertools, sys, qel
print("ready", flush=True)
for i in itertools.count():
    qel.rename_wallet(sys.argv[2], f"name-{i}", sys.argv[1])
"""


def test_killed_renames_never_lose_the_wallet(shared: Path, vault: Path) -> None:
    wallet = qel.get_wallet("abandon", str(shared))
    wallets_dir = vault / "wallets"
    wallets_dir.mkdir(parents=True)
    shutil.copy(shared / "wallets" / f"{wallet['id']}.json", wallets_dir)
    original = json.loads((wallets_dir / f"{wallet['id']}.json").read_text())
    rng = random.Random(1234)
    for _ in range(40):
        child = subprocess.Popen([sys.executable, "-c", RENAME_LOOP, str(vault), wallet["id"]],
                                 stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        assert child.stdout is not None and child.stdout.readline() == b"ready\n"
        time.sleep(rng.uniform(0.0, 0.03))
        os.kill(child.pid, signal.SIGKILL)
        child.wait()
        child.stdout.close()
        files = sorted(wallets_dir.glob("*.json"))
        assert [f.name for f in files] == [f"{wallet['id']}.json"]
        stored = json.loads(files[0].read_text())
        assert {k: v for k, v in stored.items() if k != "name"} == {k: v for k, v in original.items() if k != "name"}
        assert [w["id"] for w in qel.list_wallets(str(vault))] == [wallet["id"]]
    assert qel.export_wallet(wallet["id"], passphrase=PASS, vault_path_opt=str(vault)) == ABANDON
