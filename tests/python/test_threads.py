"""Calls from several threads and from asyncio: the interpreter lock is released while a call works, so
calls run side by side on one vault, and Ctrl-C or a cancelled await still ends a wait."""

from __future__ import annotations

import asyncio
import fcntl
import json
import os
import random
import subprocess
import sys
import time
import uuid
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

import qel
import qel.aio
from _support import ETH_UNSIGNED, PASS, wallet_files

# A stand-in curl that says where it runs and then waits for far longer than any test.
CURL = "#!/bin/sh\necho $$ > {pids}/$$\nexec sleep 100\n"


def stand_in_curl(tmp_path: Path) -> tuple[str, Path]:
    """A PATH that finds the stand-in curl first, and the folder where each run leaves its pid."""
    (pids := tmp_path / "pids").mkdir()
    (bin_dir := tmp_path / "bin").mkdir()
    (bin_dir / "curl").write_text(CURL.format(pids=pids))
    (bin_dir / "curl").chmod(0o755)
    return f"{bin_dir}:{os.environ['PATH']}", pids


def gone(pid: int) -> bool:
    """No process, not even a zombie waiting to be reaped, has this pid."""
    return not Path(f"/proc/{pid}").exists()


def test_eight_threads_on_one_vault(scratch: Path, capfd: pytest.CaptureFixture[str]) -> None:
    """Writers, readers and signers at once for a few seconds: no name twice, every wallet whole and
    openable, exactly the wallets that were made and not deleted, and no warning (a wallet deleted while
    another thread lists the vault is simply not listed)."""
    vault = str(scratch)
    end = time.monotonic() + 4.0
    kept = [w["id"] for w in qel.list_wallets(vault)]
    template = json.loads((scratch / "wallets" / f"{qel.get_wallet('vec', vault)['id']}.json").read_text())
    given: list[list[str]] = [[] for _ in range(8)]
    for i in range(80):  # copies, so that the cheap writes need no sealing first
        clone = {**template, "id": str(uuid.uuid4()), "name": f"c{i}"}
        (scratch / "wallets" / f"{clone['id']}.json").write_text(json.dumps(clone))
        given[i % 8].append(clone["id"])
    writes: list[str] = []  # list.append is atomic
    sealed: list[str] = []

    def worker(n: int) -> list[str]:
        rnd, mine, made = random.Random(n), given[n], 0
        while time.monotonic() < end:
            op = rnd.choices(["create", "import", "change", "sign", "rename", "delete", "list", "get"],
                             [1, 1, 1, 1, 6, 2, 3, 3])[0]
            try:
                if op in ("create", "import", "change", "rename", "delete") and (mine or op in ("create", "import")):
                    writes.append(op)
                if op in ("create", "import"):
                    made += 1
                    name = f"t{n}-{made}" if rnd.random() < 0.5 else f"race{rnd.randrange(3)}"
                    w = (qel.create_wallet(name, PASS, vault_path_opt=vault) if op == "create" else
                         qel.import_wallet_private_key(name, "11" * 32, passphrase=PASS, vault_path_opt=vault))
                    mine.append(w["id"])
                    sealed.append(w["id"])
                elif op == "sign":
                    qel.sign_message("vec", "ethereum", "m", PASS, vault_path_opt=vault)
                elif op == "list":
                    qel.list_wallets(vault)
                elif mine and op == "change":
                    qel.change_passphrase(rnd.choice(mine), PASS, PASS, vault)
                elif mine and op == "rename":
                    qel.rename_wallet(rnd.choice(mine), f"race{rnd.randrange(3)}", vault)
                elif mine and op == "delete":
                    qel.delete_wallet(mine.pop(rnd.randrange(len(mine))), vault)
                elif mine and op == "get":
                    qel.get_wallet(rnd.choice(mine), vault)
            except RuntimeError as e:  # losing a race for a name is the one failure expected
                assert str(e).startswith("wallet name already exists: 'race"), e
        return mine

    with ThreadPoolExecutor(8) as pool:
        made = [i for ids in pool.map(worker, range(8)) for i in ids]
        listed = qel.list_wallets(vault)
        names = [w["name"] for w in listed]
        assert len(names) == len(set(names))
        assert sorted(w["id"] for w in listed) == sorted(kept + made)
        assert len(writes) >= 20, writes  # enough to have raced, even on a loaded machine
        assert [json.loads(f.read_text())["id"] for f in wallet_files(scratch)]  # every file is whole JSON
        assert all(pool.map(lambda i: qel.export_wallet(i, PASS, vault), set(made) & set(sealed)))
    assert "warning" not in capfd.readouterr().err


# Run as its own program: Ctrl-C reaches the main thread while two others sign.
INTERRUPTED = """
import os, signal, sys, threading, time, qel
what, vault, pids, tx = sys.argv[1:5]
signal.signal(signal.SIGINT, signal.default_int_handler)  # also where the parent started us with SIGINT ignored
done = threading.Event()
def busy():
    while not done.is_set():
        qel.sign_message("vec", "ethereum", "m", "%s", vault_path_opt=vault)
others = [threading.Thread(target=busy) for _ in range(2)]
for t in others:
    t.start()
sent = []
def ctrl_c():  # once curl runs, or a second into the lock wait
    while what == "send" and not os.listdir(pids) or what == "lock" and time.monotonic() - begun < 1:
        time.sleep(0.01)
    sent.append(time.monotonic())
    os.kill(os.getpid(), signal.SIGINT)
begun = time.monotonic()
threading.Thread(target=ctrl_c).start()
try:
    if what == "send":
        qel.sign_and_send("vec", "ethereum", tx, "%s", rpc_url="http://127.0.0.1:9/", vault_path_opt=vault)
    else:
        qel.rename_wallet("vec", "renamed", vault)
except KeyboardInterrupt:
    took = time.monotonic() - sent[0]
    curls = [int(p) for p in os.listdir(pids)]
    print(json.dumps({"took": took, "curls": curls, "left": [p for p in curls if os.path.exists(f"/proc/{p}")]}))
done.set()
for t in others:
    t.join()
""".replace("%s", PASS).replace("import os,", "import json, os,")


@pytest.mark.parametrize("what", ["send", "lock"])
def test_ctrl_c_ends_a_wait_while_other_threads_work(scratch: Path, tmp_path: Path, what: str) -> None:
    """Ctrl-C ends the wait for curl (killed and reaped) and the wait for another writer's vault lock,
    both in well under their time limits, and leaves the vault as it was."""
    path, pids = stand_in_curl(tmp_path)
    before = {p: p.read_bytes() for p in scratch.rglob("*") if p.is_file()}
    with open(scratch / "wallets" / ".qel-lock") as held:
        fcntl.flock(held, fcntl.LOCK_EX)  # another writer, for the lock case; a broadcast takes no lock
        run = subprocess.run([sys.executable, "-c", INTERRUPTED, what, str(scratch), str(pids), ETH_UNSIGNED],
                             env={**os.environ, "PATH": path}, capture_output=True, text=True, timeout=60)
    assert run.returncode == 0 and run.stderr == "", run.stderr
    seen = json.loads(run.stdout)
    assert (seen["took"] < 1.0, len(seen["curls"]), seen["left"]) == (True, what == "send", [])
    assert {p: p.read_bytes() for p in scratch.rglob("*") if p.is_file()} == before


def test_cancelled_aio_sign_and_send_leaves_no_curl(shared: Path, tmp_path: Path,
                                                    monkeypatch: pytest.MonkeyPatch) -> None:
    path, pids = stand_in_curl(tmp_path)
    monkeypatch.setenv("PATH", path)

    async def main() -> None:
        send = asyncio.create_task(qel.aio.sign_and_send("vec", "ethereum", ETH_UNSIGNED, PASS,
                                                         rpc_url="http://127.0.0.1:9/", vault_path_opt=str(shared)))
        while not any(pids.iterdir()):
            await asyncio.sleep(0.01)
        send.cancel()
        with pytest.raises(asyncio.CancelledError):
            await send
        assert [gone(int(p.name)) for p in pids.iterdir()] == [True]
        # Every function of the package has its awaitable; the others are the same calls, awaited.
        assert all(callable(getattr(qel.aio, name)) for name in qel.aio.__all__) and len(qel.aio.__all__) == 24
        assert await qel.aio.get_wallet("vec", str(shared)) == qel.get_wallet("vec", str(shared))
        with pytest.raises(RuntimeError, match="^wallet not found: 'nope'$"):
            await qel.aio.delete_wallet("nope", str(shared))

    asyncio.run(main())
