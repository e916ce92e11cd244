"""Processes writing one vault at the same time: names stay unique and every file stays whole."""

from __future__ import annotations

import json
import subprocess
import sys
import uuid
from pathlib import Path

import qel
from _support import PASS, VECTOR

RACERS = 3
SLOT = 0.05  # seconds
PER_RACER = 80

# Two racers first import under one name (both see it free while sealing);
# then, at each slot boundary, every racer renames one of its own wallets to
# the slot's name. A doubled name would stay to the end; losing a race is the
# only failure expected.
RACER = """
import os, sys, time, qel
vault, ids, slot, racers = sys.argv[1], sys.argv[2].split(","), float(sys.argv[3]), int(sys.argv[4])
imports = sys.argv[5] == "import"

def attempt(call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except RuntimeError as e:
        if not str(e).startswith("wallet name already exists: "):
            raise

if imports:
    attempt(qel.import_wallet_private_key, "fresh", "11" * 32, passphrase=sys.argv[6], vault_path_opt=vault)
ready = os.path.join(os.path.dirname(vault), "ready")
os.makedirs(ready, exist_ok=True)
open(os.path.join(ready, str(os.getpid())), "w").close()
give_up = time.time() + 60
while len(os.listdir(ready)) < racers and time.time() < give_up:
    time.sleep(0.01)
stop = time.time() + 2.0
tried = 0
while ids:
    now = time.time()
    tick = int(now / slot) + 1
    if tick * slot >= stop:
        break
    time.sleep(tick * slot - now)
    tried += 1
    attempt(qel.rename_wallet, ids.pop(), f"t{tick}", vault)
print(tried)
"""


def test_racing_writers_keep_names_unique(scratch: Path) -> None:
    vault, wallets = str(scratch), scratch / "wallets"
    template = json.loads((wallets / f"{qel.get_wallet('vec', vault)['id']}.json").read_text())
    ids: list[list[str]] = [[] for _ in range(RACERS)]
    for i in range(RACERS * PER_RACER):  # copies, so that no racer has to seal each
        clone = {**template, "id": str(uuid.uuid4()), "name": f"w{i}"}
        (wallets / f"{clone['id']}.json").write_text(json.dumps(clone))
        ids[i % RACERS].append(clone["id"])

    racers = [subprocess.Popen([sys.executable, "-c", RACER, vault, ",".join(mine), str(SLOT), str(RACERS),
                                "import" if i < 2 else "rename", PASS],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
              for i, mine in enumerate(ids)]
    results = [(r.communicate(timeout=120), r.returncode) for r in racers]
    for (_, err), code in results:
        assert code == 0 and err == "", err
    # Enough simultaneous writes to matter, even on a loaded machine where the racers start late.
    assert sum(int(out) for (out, _), _ in results) >= 10

    stored = [json.loads(f.read_text()) for f in wallets.glob("*.json")]
    names = [w["name"] for w in stored]
    assert len(names) == len(set(names)), sorted(n for n in names if names.count(n) > 1)
    assert sorted(w["id"] for w in qel.list_wallets(vault)) == sorted(w["id"] for w in stored)
    by_envelope = {json.dumps(w["crypto"], sort_keys=True): w["id"] for w in stored if w["key_type"] != "mnemonic"}
    for wallet_id in by_envelope.values():
        secret = json.loads(qel.export_wallet(wallet_id, passphrase=PASS, vault_path_opt=vault))
        assert secret["secp256k1"] in ("11" * 32, VECTOR["private_key_hex"])
