"""Creating, importing, listing, finding, renaming,
exporting and deleting wallets; how the vault keeps its directories and files."""

from __future__ import annotations

import hashlib
import json
import os
import re
import shutil
import tempfile
import time
from collections.abc import Callable
from pathlib import Path

import pytest
from cryptography.hazmat.primitives.ciphers.aead import AESGCM

import qel
from _support import CHAIN_IDS, FAMILIES, KNOWN, PASS, VECTOR, wallet_files


def test_create_wallet_record_and_file(vault: Path) -> None:
    passphrase = "correct horse battery staple"  # long enough not to turn up inside an address by chance
    w = qel.create_wallet("main", passphrase=passphrase, words=24, vault_path_opt=str(vault))
    assert list(w) == ["id", "name", "accounts", "created_at"] and w["name"] == "main"
    assert re.fullmatch(r"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}", w["id"])
    assert [list(a) for a in w["accounts"]] == [["chain_id", "address", "derivation_path"]] * 6
    assert [a["chain_id"] for a in w["accounts"]] == CHAIN_IDS
    [file] = wallet_files(vault)
    stored = json.loads(file.read_text())
    assert (file.name, stored["key_type"]) == (w["id"] + ".json", "mnemonic")
    assert {k: stored[k] for k in w if k != "accounts"} == {k: w[k] for k in w if k != "accounts"}
    phrase = qel.export_wallet("main", passphrase=passphrase, vault_path_opt=str(vault))
    assert len(phrase.split(" ")) == 24 and passphrase not in file.read_text() and phrase not in file.read_text()
    assert [qel.derive_address(phrase, a["chain_id"]) for a in w["accounts"]] == [a["address"] for a in w["accounts"]]


def test_import_private_key(shared: Path, vault: Path) -> None:
    v = str(vault)
    vec = qel.get_wallet("vec", str(shared))["accounts"]
    a = qel.import_wallet_private_key("a", "0x" + VECTOR["private_key_hex"].upper(), vault_path_opt=v)
    assert vec[0]["address"] == VECTOR["from_address"] and all(acc["derivation_path"] == "" for acc in a["accounts"])
    # secp256k1 families share the key; Ed25519 families got fresh random keys.
    assert [x["address"] == y["address"] for x, y in zip(a["accounts"], vec)] == [True, False, True, True, True, False]
    assert re.fullmatch('{"ed25519":"[0-9a-f]{64}","secp256k1":"%s"}' % VECTOR["private_key_hex"],
                        qel.export_wallet("a", vault_path_opt=v))

    ton, evm = KNOWN[("ton", 0)], KNOWN[("evm", 0)]
    # Explicit keys for both curves: the key and chain arguments are not looked at.
    both = qel.import_wallet_private_key("both", "not hex", chain="nowhere", vault_path_opt=v,
                                         secp256k1_key=evm["private_key_hex"], ed25519_key="0x" + ton["private_key_hex"])
    assert (both["accounts"][0]["address"], both["accounts"][5]["address"]) == (evm["address"], ton["address"])
    # An explicit key for the other curve completes the pair instead of a random one.
    one = qel.import_wallet_private_key("one", evm["private_key_hex"], ed25519_key=ton["private_key_hex"],
                                        vault_path_opt=v)
    assert one["accounts"][5]["address"] == ton["address"]


def test_list_get_rename_delete(scratch: Path) -> None:
    vault, wallets = str(scratch), scratch / "wallets"
    abandon, at1, vec = (qel.get_wallet(name, vault) for name in ("abandon", "at1", "vec"))
    for wallet, index in ((abandon, 0), (at1, 1)):  # the phrase imported at an index
        assert [(a["address"], a["derivation_path"]) for a in wallet["accounts"]] == \
            [(KNOWN[(f, index)]["address"], KNOWN[(f, index)]["path"]) for f in FAMILIES]
    assert qel.list_wallets(vault) == [vec, at1, abandon]  # newest first
    assert qel.rename_wallet("abandon", "abandon", vault) is None
    qel.rename_wallet(abandon["id"], "renamed", vault)
    qel.rename_wallet("at1", " a/b ✓ ", vault)  # names are taken as they are
    assert qel.get_wallet(" a/b ✓ ", vault)["id"] == at1["id"]
    assert qel.delete_wallet(" a/b ✓ ", vault) is None
    assert qel.list_wallets(vault) == [vec, {**abandon, "name": "renamed"}]
    qel.rename_wallet("vec", abandon["id"], vault)  # a name may be another wallet's id, and the id wins
    assert qel.get_wallet(abandon["id"], vault)["name"] == "renamed"
    # Written by other means: a second 'renamed', and files not named after their ids.
    stored = json.loads((wallets / f"{vec['id']}.json").read_text())
    for file, wallet_id, name in ((vec["id"], vec["id"], "renamed"), ("x", "inner", "x")):
        (wallets / f"{file}.json").write_text(json.dumps({**stored, "id": wallet_id, "name": name}))
    before = {p: p.read_bytes() for p in wallet_files(scratch)}
    ambiguous = "ambiguous wallet name 'renamed' matches 2 wallets; use the wallet ID instead"
    for call, message in [
        (lambda: qel.delete_wallet("renamed", vault), ambiguous),
        (lambda: qel.rename_wallet("renamed", "z", vault), ambiguous),
        (lambda: qel.delete_wallet("inner", vault), "wallet not found: 'inner'"),  # removed only by its file name
    ]:
        with pytest.raises(RuntimeError) as e:
            call()
        assert str(e.value) == message
    assert {p: p.read_bytes() for p in wallet_files(scratch)} == before


def test_fresh_vault_is_private_or_fails_with_nothing_made(vault: Path) -> None:
    assert qel.list_wallets(str(vault)) == []
    assert [p.stat().st_mode & 0o7777 for p in (vault, vault / "wallets")] == [0o700, 0o700]
    shutil.rmtree(vault)
    vault.write_text("")
    with pytest.raises(RuntimeError, match=r"^I/O error: Not a directory \(os error 20\)$"):
        qel.delete_wallet("x", str(vault))
    assert [p.name for p in vault.parent.iterdir()] == ["vault"]


def test_saving_is_private_whole_and_tidy(scratch: Path, tmp_path: Path) -> None:
    vault, wallets = str(scratch), scratch / "wallets"
    at1, vec = qel.get_wallet("at1", vault), qel.get_wallet("vec", vault)
    victim, path = tmp_path / "victim", wallets / f"{vec['id']}.json"
    path.rename(victim)
    path.symlink_to(victim)  # a link in the wallet's place is replaced, never written through
    for name, age in [("00112233445566aa", 660), ("00112233445566bb", 540), ("notours", 3600)]:
        os.utime(shutil.copy(victim, wallets / f".qel-save-{name}.tmp"), (time.time() - age,) * 2)
    old = os.umask(0)
    try:
        qel.rename_wallet("vec", "moved", vault)
    finally:
        os.umask(old)
    assert json.loads(victim.read_text())["name"] == "vec" and not path.is_symlink()
    assert path.stat().st_mode & 0o7777 == 0o600 and qel.get_wallet(vec["id"], vault)["name"] == "moved"
    # A save that cannot put its file in place (a directory is there) leaves no temporary.
    (wallets / f"{at1['id']}.json").rename(wallets / "at1.json")
    (wallets / f"{at1['id']}.json").mkdir()
    with pytest.raises(RuntimeError) as e:
        qel.rename_wallet("at1", "z", vault)
    assert str(e.value) == "I/O error: Is a directory (os error 21)"
    # Only temporaries old enough that no save can still be writing them are removed.
    assert sorted(p.name for p in wallets.glob(".qel-save-*")) == [".qel-save-00112233445566bb.tmp",
                                                                     ".qel-save-notours.tmp"]


def test_listing_is_newest_first_and_skips_what_is_no_wallet(shared: Path, vault: Path, tmp_path: Path,
                                                             capfd: pytest.CaptureFixture[str]) -> None:
    wallets, stored = vault / "wallets", json.loads(wallet_files(shared)[0].read_text())
    wallets.mkdir(parents=True)
    times = {"new": "2025-01-31T08:15:02.250113+00:00", **{f"eq{i}": "2025-01-31T08:15:02.250+00:00" for i in range(8)},
             "whole": "2025-01-31T08:15:02+00:00", "dotted": "2025-01-02T00:00:00+00:00", "linked": "2025-01-01T00:00:00+00:00",
             "old": "2024-12-31T23:59:59.999999999+00:00"}  # newest first whatever the fraction's width
    files = {"dotted": wallets / "x.y.json", "linked": tmp_path / "target"}
    for name in [*times, "a.txt", "b.JSON", ".json", ".qel-save-0011223344556677.tmp"]:  # the last four are ignored
        wallet = {**stored, "id": name, "name": name, "created_at": times.get(name, times["old"])}
        files.get(name, wallets / (name + ".json" if name in times else name)).write_text(json.dumps(wallet))
    (wallets / "link.json").symlink_to(tmp_path / "target")
    (wallets / "dangling.json").symlink_to(tmp_path / "missing")
    equal = [e.name[:-5] for e in os.scandir(wallets) if e.name.startswith("eq")]  # kept in directory order
    assert [w["id"] for w in qel.list_wallets(str(vault))] == ["new", *equal, "whole", "dotted", "linked", "old"]
    warning = f"warning: skipping {wallets}/dangling.json: No such file or directory (os error 2)\n"
    assert capfd.readouterr().err == warning
    assert qel.get_wallet("linked", str(vault))["id"] == "linked"  # finding reads the files alike
    assert capfd.readouterr().err == warning


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to give directories away")
def test_an_existing_vault_is_tightened_when_it_is_ours(vault: Path, capfd: pytest.CaptureFixture[str]) -> None:
    for mode, kept, warning in [
        (0o755, 0o700, ""),
        (0o1777, 0o1777, f"warning: failed to set permissions on {vault}: it is a shared directory (sticky bit set)\n"),
    ]:
        shutil.rmtree(vault, ignore_errors=True)
        vault.mkdir()
        os.chmod(vault, mode)
        assert qel.list_wallets(str(vault)) == [] and capfd.readouterr().err == warning
        assert [p.stat().st_mode & 0o7777 for p in (vault, vault / "wallets")] == [kept, 0o700]


NOBODY = 65534


def as_nobody(action: Callable[[], object]) -> str:
    """Runs `action` in a child process as the unprivileged user `nobody`: its result, or its error's text."""
    read, write = os.pipe()
    if (pid := os.fork()) == 0:  # pragma: no cover - the child
        try:
            os.setgid(NOBODY)
            os.setuid(NOBODY)
            try:
                out = repr(action())
            except Exception as e:  # noqa: BLE001 - the text is the result
                out = str(e)
            os.write(write, out.encode())
        finally:
            os._exit(0)
    os.close(write)
    with os.fdopen(read) as f:
        out = f.read()
    os.waitpid(pid, 0)
    return out


def plant(wallets: Path) -> None:
    """What another user may leave for this one: a wallets directory open to all, a lock and a wallet."""
    wallets.mkdir(parents=True, exist_ok=True)
    wallets.chmod(0o777)
    (wallets / ".qel-lock").touch(0o666)
    (wallets / "theirs.json").write_text("{")


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to be two users")
def test_a_vault_another_user_controls_is_refused_before_anything_in_it_is_read(
        capfd: pytest.CaptureFixture[str]) -> None:
    with tempfile.TemporaryDirectory(dir="/tmp") as name:  # reachable by nobody, unlike the test's own directory
        shared = Path(name)
        shared.chmod(0o1777)
        root, mine = shared / "vault", shared / "mine"
        refuse = "I/O error: refusing to use {}: it is {}"
        sticky = f"warning: failed to set permissions on {shared}: it is a shared directory (sticky bit set)\n"
        rows: list[tuple[Callable[[], object], Callable[[], object], str, str]] = [
            # Another user made the vault, or the wallets directory in a shared root.
            (lambda: as_nobody(lambda: root.mkdir()), lambda: qel.list_wallets(str(root)),
             refuse.format(root, "owned by another user"), ""),
            (lambda: as_nobody(lambda: plant(shared / "wallets")), lambda: qel.list_wallets(str(shared)),
             refuse.format(shared / "wallets", "owned by another user"), sticky),
            # This user's wallets directory, with a lock another user left in it.
            (lambda: ((mine / "wallets").mkdir(parents=True), (mine / "wallets" / ".qel-lock").touch(),
                      os.chown(mine / "wallets" / ".qel-lock", NOBODY, -1)),
             lambda: qel.create_wallet("w", vault_path_opt=str(mine)),
             refuse.format(mine / "wallets" / ".qel-lock", "owned by another user"), ""),
            # For an unprivileged caller: root's directory open to all, unless it is sticky like /tmp.
            (lambda: (root.mkdir(), root.chmod(0o777)), lambda: as_nobody(lambda: qel.list_wallets(str(root))),
             refuse.format(root, "writable by other users"), ""),
            (lambda: (root.mkdir(), root.chmod(0o1777)), lambda: as_nobody(lambda: qel.list_wallets(str(root))), "[]",
             ""),
        ]
        for prepare, call, expected, warning in rows:
            for p in (root, mine, shared / "wallets"):
                shutil.rmtree(p, ignore_errors=True)
            prepare()
            before = sorted((p, p.stat().st_mtime_ns) for p in shared.rglob("*"))
            try:
                got = call()
            except RuntimeError as e:
                got = str(e)
            assert got == expected
            # Nothing read, nothing written: no skipping warning, no lock, no wallet.
            assert capfd.readouterr().err == warning
            if expected != "[]":
                assert sorted((p, p.stat().st_mtime_ns) for p in shared.rglob("*")) == before
        assert (root / "wallets").stat().st_uid == NOBODY and (root / "wallets").stat().st_mode & 0o7777 == 0o700


def test_vault_paths(shared: Path, tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    expected = qel.list_wallets(str(shared))
    shutil.copytree(shared, tmp_path / "relative")
    shutil.copytree(shared, Path(os.environ["HOME"]) / ".qel")
    monkeypatch.chdir(tmp_path)
    assert qel.list_wallets("relative") == qel.list_wallets() == expected


def test_envelope_against_independent_code(scratch: Path) -> None:
    """The stored envelope opens with hashlib's scrypt and the cryptography package's AES-GCM, and
    key-pair texts sealed that way, unlike any the library writes, fail with their messages."""
    vec = qel.get_wallet("vec", str(scratch))
    path = scratch / "wallets" / f"{vec['id']}.json"
    stored = json.loads(path.read_text())
    env = stored["crypto"]
    kdf = env["kdfparams"]
    key = hashlib.scrypt(PASS.encode(), salt=bytes.fromhex(kdf["salt"]), n=kdf["n"], r=kdf["r"], p=kdf["p"],
                         maxmem=2**30, dklen=kdf["dklen"])
    aead = AESGCM(key)
    plain = aead.decrypt(bytes.fromhex(env["cipherparams"]["iv"]), bytes.fromhex(env["ciphertext"] + env["auth_tag"]),
                         None)
    assert json.loads(plain)["secp256k1"] == VECTOR["private_key_hex"]
    for plaintext, message in [
        (b"\xff", "invalid input: invalid key pair data"),
        (b"[1]", "invalid input: missing secp256k1 key"),
        (b'{"secp256k1": "11", "ed25519": 5}', "invalid input: missing ed25519 key"),
        (b'{"secp256k1": "0x11", "ed25519": "22"}',
         "invalid input: invalid secp256k1 hex: Invalid character 'x' at position 1"),
        (b'{"secp256k1": "11", "ed25519": "2"}', "invalid input: invalid ed25519 hex: Odd number of digits"),
    ]:
        iv = os.urandom(12)
        sealed = aead.encrypt(iv, plaintext, None)
        env.update(cipherparams={"iv": iv.hex().upper()}, ciphertext=sealed[:-16].hex(), auth_tag=sealed[-16:].hex())
        path.write_text(json.dumps(stored))
        with pytest.raises(RuntimeError) as e:
            qel.sign_message("vec", "ethereum", "m", passphrase=PASS, vault_path_opt=str(scratch))
        assert str(e.value) == message
