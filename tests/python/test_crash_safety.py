"""A wallet survives its process being killed at any moment of a save: a rename's or a change of passphrase's."""

from __future__ import annotations

import contextlib
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

import qel
from _support import ABANDON, PASS

LOOP = """
import itertools, sys, qel
vault, wallet_id, what, old, new = sys.argv[1:]
print("ready", flush=True)
for i in itertools.count():
    if what == "rename":
        qel.rename_wallet(wallet_id, f"name-{i}", vault)
    else:
        qel.change_passphrase(wallet_id, old, new, vault)
        old, new = new, old
"""


@pytest.mark.parametrize(("what", "kills", "wait", "changed"), [
    ("rename", 40, (0.0, 0.03), "name"),
    ("change", 5, (0.3, 3.0), "crypto"),
])
def test_a_killed_save_leaves_the_wallet_whole(shared: Path, vault: Path, what: str, kills: int,
                                               wait: tuple[float, float], changed: str) -> None:
    wallet = qel.get_wallet("abandon", str(shared))
    path = vault / "wallets" / f"{wallet['id']}.json"
    path.parent.mkdir(parents=True)
    original = json.loads(Path(shutil.copy(shared / "wallets" / path.name, path)).read_text())
    rng = random.Random(1234)
    for kill in range(kills):
        child = subprocess.Popen([sys.executable, "-c", LOOP, str(vault), wallet["id"], what, PASS, "new"],
                                 stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        assert child.stdout is not None and child.stdout.readline() == b"ready\n"
        time.sleep(rng.uniform(*wait))
        os.kill(child.pid, signal.SIGKILL)
        child.wait()
        child.stdout.close()
        assert [f.name for f in path.parent.glob("*.json")] == [path.name]
        stored = json.loads(path.read_text())
        assert {k: v for k, v in stored.items() if k != changed} == {k: v for k, v in original.items() if k != changed}
        assert [w["id"] for w in qel.list_wallets(str(vault))] == [wallet["id"]]
        if what == "change" or kill == kills - 1:
            opened = []  # exactly one of the two passphrases opens the wallet
            for passphrase in (PASS, "new"):
                with contextlib.suppress(RuntimeError):
                    opened.append(qel.export_wallet(wallet["id"], passphrase, str(vault)))
            assert opened == [ABANDON]
