"""The installed `qel` command, run as a child process: through pipes, and at a pseudo-terminal."""

from __future__ import annotations

import json
import os
import pty
import re
import select
import signal
import subprocess
import sys
import time
import tomllib
from collections.abc import Callable
from pathlib import Path
from typing import NamedTuple

import pytest
from eth_account import Account
from eth_account.messages import encode_defunct
from nacl.signing import SigningKey

import qel
from _support import ABANDON, FAMILIES, KNOWN, PASS, VECTOR, RpcServer, load, wallet_files

QEL = str(Path(sys.executable).with_name("qel"))
SOLANA_KEY = KNOWN[("solana", 0)]["private_key_hex"]
ENV = {"QEL_PASSPHRASE": PASS}
NEW_PASS = "the new cli passphrase"
KEYSTORES = load("keystore-v3.json")
MAIL = load("eip712.json")["vectors"][0]["typed_data"]
# Never in error output, and in standard output only where a command exists to show it.
SECRETS = [PASS, NEW_PASS, KEYSTORES["password"], ABANDON, VECTOR["private_key_hex"], SOLANA_KEY]
SHOWS_SECRETS = {"mnemonic", "create", "export"}
EVM_SIG = bytes(Account.sign_message(encode_defunct(text="hello qel"), KNOWN[("evm", 0)]["private_key_hex"]).signature)
SOL_SIG = SigningKey(bytes.fromhex(SOLANA_KEY)).sign(bytes(range(256))).signature.hex()
MAIL_SIG = Account.sign_typed_data(VECTOR["private_key_hex"], full_message=MAIL)
AEAD = "qel: error: decryption failed: aead::Error\n"
NO_PASSPHRASE = "qel: error: no passphrase: use --passphrase-file FILE or set QEL_PASSPHRASE\n"


class Run(NamedTuple):
    code: int
    out: str
    err: str


def child_env(env: dict[str, str | bytes] | None) -> dict[str, str | bytes]:
    return {k: v for k, v in os.environ.items() if k != "QEL_PASSPHRASE"} | (env or {})


def qel_run(*args: str, vault: Path | None = None, stdin: bytes | None = None,
            env: dict[str, str | bytes] | None = None) -> Run:
    """`qel args` with no terminal (its own session); QEL_PASSPHRASE only from `env`."""
    args += ("--vault", str(vault)) if vault else ()
    p = subprocess.run([QEL, *args], input=stdin, stdin=None if stdin is not None else subprocess.DEVNULL,
                       capture_output=True, env=child_env(env), start_new_session=True, timeout=60)
    run = Run(p.returncode, p.stdout.decode(), p.stderr.decode())
    command = next((a for a in args if not a.startswith("-")), "")
    for secret in SECRETS:
        assert secret not in run.err and (command in SHOWS_SECRETS or secret not in run.out)
    assert "Traceback" not in run.err
    return run


def qel_tty(*args: str, steps: list[tuple[str, str]], env: dict[str, str] | None = None) -> tuple[int, str]:
    """`qel args` on a pseudo-terminal that is its controlling terminal: for each (expected, typed)
    step, waits until `expected` is shown, then types `typed`. Returns the exit status and the screen."""
    pid, fd = pty.fork()
    if pid == 0:
        try:
            os.execve(QEL, [QEL, *args], child_env(env))
        finally:
            os._exit(127)
    seen, deadline = b"", time.monotonic() + 60

    def read_more() -> bool:
        nonlocal seen
        assert select.select([fd], [], [], max(0.0, deadline - time.monotonic()))[0], f"timed out at {seen!r}"
        try:
            chunk = os.read(fd, 4096)
        except OSError:  # EIO: the child closed the terminal
            return False
        seen += chunk
        return bool(chunk)

    try:
        for expected, typed in steps:
            while expected.encode() not in seen:
                assert read_more(), f"ended before {expected!r}: {seen!r}"
            time.sleep(0.1)
            os.write(fd, typed.encode())
        while read_more():
            pass
    finally:
        os.close(fd)
        _, status = os.waitpid(pid, 0)
    return os.waitstatus_to_exitcode(status), seen.decode().replace("\r\n", "\n")


def test_version() -> None:
    version = tomllib.loads((Path(__file__).parents[2] / "pyproject.toml").read_text())["project"]["version"]
    p = subprocess.run([sys.executable, "-m", "qel", "--version"], capture_output=True, text=True)
    assert (p.returncode, p.stdout) == (0, f"qel {version}\n")


@pytest.mark.parametrize(("args", "message"), [
    (["export", "w", "--passphrase", PASS], "qel: error: unrecognized arguments: --passphrase and 1 other word (not repeated)"),
    (["delete", "w", "--ye"], "qel: error: unrecognized arguments: --ye"),
    (["list", PASS, PASS], "qel: error: unrecognized arguments: 2 words (not repeated)"),
    (["address", "ethereum", "--index", "4294967296"],
     "qel address: error: argument --index: must be a whole number from 0 to 4294967295: '4294967296'"),
    (["import", "w", "--chain", "solana"], "qel import: error: --chain goes with --private-key"),
    (["import", "w", "--private-key", "--index", "1"], "qel import: error: --index does not go with --private-key"),
    (["import", "w", "--keystore", "f", "--private-key"],
     "qel import: error: --keystore does not go with --private-key, --chain or --index"),
    (["import", "w", "--keystore-password-file", "f"], "qel import: error: --keystore-password-file goes with --keystore"),
    (["export", "w", "--index", "1"], "qel export: error: --keystore-password-file and --index go with --keystore"),
    (["verify", "ethereum", "00", "m"], "qel verify: error: one of the arguments --address --public-key is required"),
])
def test_usage_errors(vault: Path, args: list[str], message: str) -> None:
    run = qel_run(*args, vault=vault, env=ENV)
    assert (run.code, run.out, run.err.splitlines()[-1]) == (2, "", message)
    assert not vault.exists()


def test_mnemonic_and_address() -> None:
    doc = json.loads(qel_run("mnemonic", "--words", "24", "--json").out)
    assert list(doc) == ["mnemonic"] and len(doc["mnemonic"].split(" ")) == 24
    messy = ("  " + ABANDON.replace(" ", " \t ") + "\n\n").encode()
    assert qel_run("address", "ton", "--index", "1", stdin=messy).out == KNOWN[("ton", 1)]["address"] + "\n"


@pytest.mark.parametrize(("args", "stdin", "message"), [
    ([], "abandon " * 11 + "abandon", "invalid mnemonic phrase: the checksum or the number of words is wrong"),
    ([], ABANDON.replace("about", "About"), "invalid mnemonic phrase: word 12 is not in the word list"),
    ([], "zoo " + ABANDON, "invalid mnemonic phrase: the mnemonic's entropy length `18` is invalid"),
    ([], " \n", "no recovery phrase given"),
    ([], "abandon \udcff", "standard input is not UTF-8 text"),
    (["--private-key"], "0X" + SOLANA_KEY, "invalid input: invalid hex private key: Invalid character 'X' at position 1"),
    (["--private-key"], "", "no private key given"),
])
def test_bad_phrases_and_keys(vault: Path, args: list[str], stdin: str, message: str) -> None:
    run = qel_run("import", "w", *args, vault=vault, stdin=stdin.encode(errors="surrogateescape"), env=ENV)
    assert run == (1, "", f"qel: error: {message}\n") and wallet_files(vault) == []


def test_create_at_a_terminal(vault: Path) -> None:
    code, screen = qel_tty("create", "main", "--vault", str(vault),
                           steps=[("New passphrase: ", PASS + "\n"), ("Repeat the passphrase: ", PASS + "\n")])
    phrase = screen.rstrip("\n").rsplit("\n", 1)[1].strip()
    assert code == 0 and PASS not in screen and "encrypting…\n" in screen and screen.count(phrase) == 1
    exported = qel_run("export", "main", "--yes", "--json", vault=vault, env=ENV)
    assert (exported.code, exported.err, json.loads(exported.out)) == (0, "", {"secret": phrase})
    for account in qel.get_wallet("main", str(vault))["accounts"]:
        assert account["address"] in screen and account["address"] == qel.derive_address(phrase, account["chain_id"])


def test_create_and_import_through_pipes(vault: Path) -> None:
    run = qel_run("create", "w", "--words", "24", "--json", vault=vault, env=ENV)
    doc = json.loads(run.out)
    assert (run.code, run.err, list(doc)) == (0, "", ["id", "name", "accounts", "created_at", "mnemonic"])
    assert len(doc.pop("mnemonic").split()) == 24 and doc == qel.get_wallet("w", str(vault))
    # Fails before any passphrase is needed.
    assert qel_run("create", "w", "--no-input", vault=vault) == (1, "", "qel: error: wallet name already exists: 'w'\n")
    run = qel_run("import", "phrase", "--index", "1", vault=vault, stdin=ABANDON.encode(), env=ENV)
    assert all(f"{KNOWN[(f, 1)]['path']} " in run.out and KNOWN[(f, 1)]["address"] in run.out for f in FAMILIES)
    run = qel_run("import", "key", "--private-key", "--chain", "solana", "--json", vault=vault,
                  stdin=f"0x{SOLANA_KEY}\n".encode(), env=ENV)
    assert json.loads(run.out)["accounts"][1]["address"] == KNOWN[("solana", 0)]["address"]


def test_import_at_a_terminal_fails(vault: Path) -> None:
    code, screen = qel_tty("import", "w", "--vault", str(vault), steps=[
        ("Recovery phrase: ", ABANDON + "\n"), ("New passphrase: ", "one\n"), ("Repeat the passphrase: ", "two\n")])
    assert code == 1 and screen.endswith("qel: error: the passphrases do not match\n")
    assert ABANDON not in screen and "one" not in screen
    code, screen = qel_tty("import", "w", "--no-input", "--vault", str(vault), steps=[])
    assert (code, screen) == (1, "qel: error: no recovery phrase: pipe it to standard input\n")
    assert wallet_files(vault) == []


@pytest.mark.parametrize(("file", "args", "env", "out", "err"), [
    ((PASS + "\n", 0o644), [], {}, json.dumps({"secret": ABANDON}, indent=2) + "\n",
     "warning: passphrase file '{}' is readable by group or others; chmod 600 it\n"),
    ((PASS + "\n\n", 0o600), [], {}, "", AEAD),  # one newline is dropped, not two
    ((PASS, 0o600), [], {"QEL_PASSPHRASE": "wrong"}, json.dumps({"secret": ABANDON}, indent=2) + "\n", ""),
    (None, ["--passphrase-file", "/nonexistent/pass"], {}, "",
     "qel: error: cannot read passphrase file '/nonexistent/pass': No such file or directory\n"),
    (None, ["--passphrase-file", "/dev/fd/0"], {}, "", "qel: error: passphrase file '/dev/fd/0' is not UTF-8 text\n"),
    (None, [], {}, "", NO_PASSPHRASE),  # and no terminal to ask on
    (None, [], {"QEL_PASSPHRASE": b"\xff"}, "", "qel: error: an argument or input is not valid UTF-8 text\n"),
])
def test_passphrase_sources(shared: Path, tmp_path: Path, file: tuple[str, int] | None, args: list[str],
                            env: dict[str, str | bytes], out: str, err: str) -> None:
    if file:  # the file comes before the environment
        path = tmp_path / "pass"
        path.write_text(file[0])
        path.chmod(file[1])
        args, err = ["--passphrase-file", str(path)], err.replace("{}", str(path))
    assert qel_run("export", "abandon", "--yes", "--json", *args, vault=shared, stdin=b"\xff", env=env) == \
        (0 if out else 1, out, err)


def test_prompts_at_a_terminal(scratch: Path) -> None:
    vault = str(scratch)
    code, screen = qel_tty("export", "abandon", "--vault", vault, steps=[
        ("Print the secret of wallet 'abandon' (", "y\n"), ("Passphrase for 'abandon' (", PASS + "\n")])
    assert code == 0 and screen.endswith(f"unlocking…\n{ABANDON}\n") and PASS not in screen
    for typed, message in (("n\n", "cancelled"), ("\x04", "no input")):
        code, screen = qel_tty("delete", "vec", "--vault", vault, steps=[("[y/N] ", typed)])
        assert (code, screen.splitlines()[-1]) == (1, f"qel: error: {message}")
    assert qel_run("delete", "vec", vault=scratch)[::2] == \
        (1, "qel: error: this needs confirmation: add --yes to go ahead without a prompt\n")
    code, screen = qel_tty("delete", "vec", "--vault", vault, steps=[("[y/N] ", "yes\n")])
    assert code == 0 and re.search(r"^deleted wallet 'vec' \([0-9a-f]{8}\)$", screen, re.M)
    assert [w["name"] for w in qel.list_wallets(vault)] == ["at1", "abandon"]


def test_ctrl_c(shared: Path, vault: Path) -> None:
    # At a prompt: stops at once.
    code, screen = qel_tty("export", "abandon", "--yes", "--vault", str(shared), steps=[("Passphrase for", "\x03")])
    assert code == 130 and "Traceback" not in screen
    # While a signature is computed: nothing is printed.
    code, screen = qel_tty("sign-message", "abandon", "ethereum", "m", "--vault", str(shared),
                           steps=[("unlocking…", "\x03")], env=ENV)
    assert code == 130 and "signature" not in screen and "Traceback" not in screen
    # While a new wallet is written: the wallet and its phrase are still shown.
    code, screen = qel_tty("create", "w", "--vault", str(vault), steps=[("encrypting…", "\x03")], env=ENV)
    phrase = screen.rstrip().rsplit("\n", 1)[1].strip()
    assert code == 130 and qel.derive_address(phrase, "ton") == qel.get_wallet("w", str(vault))["accounts"][5]["address"]


def test_list_show_rename_delete(scratch: Path) -> None:
    wallets = qel.list_wallets(str(scratch))
    assert json.loads(qel_run("list", "--json", vault=scratch).out) == wallets
    lines = qel_run("--vault", str(scratch), "list").out.splitlines()  # common options also go first
    assert lines[0].split() == ["NAME", "ID", "CREATED", "ACCOUNTS"]
    for line, w in zip(lines[1:], wallets, strict=True):
        assert line.split()[:2] == [w["name"], w["id"][:8]] and line.endswith("  6")
    vec = qel.get_wallet("vec", str(scratch))
    assert json.loads(qel_run("show", vec["id"][:8], "--json", vault=scratch).out) == vec
    assert re.search(rf"^eip155:1 +- +{VECTOR['from_address']}$", qel_run("show", vec["id"], vault=scratch).out, re.M)
    assert qel_run("show", vec["id"][:7], vault=scratch)[::2] == (1, f"qel: error: wallet not found: '{vec['id'][:7]}'\n")
    assert qel_run("rename", "vec", "key", vault=scratch).out == f"renamed 'vec' ({vec['id'][:8]}) to 'key'\n"
    assert json.loads(qel_run("delete", "key", "--yes", "--json", vault=scratch).out) == {**vec, "name": "key"}
    assert [w["name"] for w in qel.list_wallets(str(scratch))] == ["at1", "abandon"]


def test_hostile_names_are_shown_escaped(scratch: Path) -> None:
    path = next(p for p in wallet_files(scratch) if json.loads(p.read_text())["name"] == "vec")
    path.write_text(path.read_text().replace('"name": "vec"', '"name": "\\u001b[2Jgone"'))
    listed = qel_run("list", vault=scratch).out
    assert "\x1b" not in listed and "\\x1b[2Jgone" in listed
    assert qel_run("show", "\x1b[2J", vault=scratch).err == "qel: error: wallet not found: '\\x1b[2J'\n"
    assert qel_run("list", vault=scratch / "empty").out == "no wallets\n"


def test_send(shared: Path) -> None:
    with RpcServer() as server:
        run = qel_run("send", "vec", "ethereum", VECTOR["unsigned_hex"], "--rpc-url", server.url, vault=shared, env=ENV)
    assert run == (0, "0xhash\n", "") and [json.loads(r)["params"] for r in server.requests] == \
        [["0x" + VECTOR["signed_hex"]]]


def test_closed_output(shared: Path) -> None:
    read, write = os.pipe()
    os.close(read)
    p = subprocess.run([QEL, "list", "--vault", str(shared)], stdout=write, stderr=subprocess.PIPE, text=True)
    os.close(write)
    assert (p.returncode, p.stderr) == (1, "")


@pytest.fixture
def inputs(tmp_path: Path) -> dict[str, str]:
    """Files the commands read, by the name the tables below use for them."""
    files = {"@typed": json.dumps(MAIL), "@new": NEW_PASS + "\n", "@kspw": KEYSTORES["password"], "@wrong": "wrong",
             "@keystore": json.dumps(KEYSTORES["vectors"][0]["keystore"])}
    for name, text in files.items():
        (tmp_path / name[1:]).write_text(text)
        (tmp_path / name[1:]).chmod(0o600)
    return {name: str(tmp_path / name[1:]) for name in files}


def signed(sig: str, rid: object) -> str:
    return json.dumps({"signature": sig, "recovery_id": rid}, indent=2) + "\n"


@pytest.mark.parametrize(("args", "stdin", "check"), [
    (["verify", "ethereum", EVM_SIG.hex(), "hello qel", "--address", KNOWN[("evm", 0)]["address"]], None,
     "the signature matches\n"),
    (["verify", "solana", "0x" + SOL_SIG, "--file", "-", "--public-key", KNOWN[("solana", 0)]["public_key_hex"],
      "--json"], bytes(range(256)), '{\n  "valid": true\n}\n'),
    (["sign-message", "abandon", "ethereum", "hello qel", "--json"], None, signed(EVM_SIG.hex(), EVM_SIG[-1])),
    (["sign-message", "abandon", "solana", "--file", "-"], bytes(range(256)), f"signature    {SOL_SIG}\nrecovery id  none\n"),
    (["sign-typed-data", "vec", "ethereum", "@typed"], None,
     f"signature    {bytes(MAIL_SIG.signature).hex()}\nrecovery id  {MAIL_SIG.v}\n"),
    (["sign-tx", "vec", "ethereum", "--json"], f"0x{VECTOR['unsigned_hex']}\n".encode(),
     signed(VECTOR["signature_rsv_hex"], VECTOR["y_parity"])),
    (["change-passphrase", "vec", "--new-passphrase-file", "@new"], None,
     lambda run, vault: VECTOR["private_key_hex"] in qel.export_wallet("vec", NEW_PASS, str(vault))),
    (["import", "ks", "--keystore", "-", "--keystore-password-file", "@kspw", "--json"],
     json.dumps(KEYSTORES["vectors"][1]["keystore"]).encode(),
     lambda run, vault: json.loads(run.out)["accounts"][0]["address"] == KEYSTORES["address"]),
    (["export", "abandon", "--keystore", "--index", "1", "--keystore-password-file", "@kspw"], None,
     lambda run, vault: Account.decrypt(run.out, KEYSTORES["password"]).hex() == KNOWN[("evm", 1)]["private_key_hex"]),
], ids=lambda x: x[0] if isinstance(x, list) else "")
def test_wallet_tools(scratch: Path, inputs: dict[str, str], args: list[str], stdin: bytes | None,
                      check: str | Callable[[Run, Path], bool]) -> None:
    run = qel_run(*[inputs.get(x, x) for x in args], vault=scratch, stdin=stdin, env=ENV)
    assert (run.code, run.err) == (0, "")
    assert run.out == check if isinstance(check, str) else check(run, scratch)


@pytest.mark.parametrize(("args", "stdin", "env", "message"), [
    (["verify", "ethereum", EVM_SIG.hex(), "hello qeL", "--address", KNOWN[("evm", 0)]["address"], "--json"], None,
     {}, "the signature does not match"),
    (["verify", "ethereum", "abc", "m", "--address", KNOWN[("evm", 0)]["address"]], None, {},
     "invalid input: invalid hex signature: Odd number of digits"),
    (["sign-message", "vec", "ethereum", "--file", "/nonexistent/m"], None, ENV,
     "cannot read '/nonexistent/m': No such file or directory"),
    (["sign-typed-data", "vec", "solana", "-"], json.dumps(MAIL).encode(), ENV,
     "invalid input: typed data (EIP-712) is signed on EVM chains only, not solana"),
    (["sign-typed-data", "vec", "ethereum", "-"], b"\xff", {}, "'-' is not UTF-8 text"),
    (["change-passphrase", "vec"], None, ENV, "no new passphrase: use --new-passphrase-file FILE or set QEL_NEW_PASSPHRASE"),
    (["import", "ks", "--keystore", "@keystore", "--keystore-password-file", "@wrong"], None,
     ENV, "decryption failed: keystore password is wrong or the file is corrupted"),
    (["import", "ks", "--keystore", "@keystore"], None, ENV, "no keystore password: use --keystore-password-file FILE"),
], ids=lambda x: x[0] if isinstance(x, list) else "")
def test_wallet_tools_fail(scratch: Path, inputs: dict[str, str], args: list[str], stdin: bytes | None,
                           env: dict[str, str], message: str) -> None:
    before = {p.name: p.read_bytes() for p in wallet_files(scratch)}
    run = qel_run(*[inputs.get(x, x) for x in args], vault=scratch, stdin=stdin, env=env)
    out = '{\n  "valid": false\n}\n' if "--json" in args else ""  # a mismatch is also a document
    assert run == (1, out, f"qel: error: {message}\n")
    assert {p.name: p.read_bytes() for p in wallet_files(scratch)} == before


def test_ctrl_c_ends_a_waiting_send(shared: Path, tmp_path: Path) -> None:
    """Ctrl-C (SIGINT to qel alone) while curl waits on the node stops curl and the command at once."""
    curl, pid = tmp_path / "curl", tmp_path / "pid"
    curl.write_text(f"#!/bin/sh\necho $$ > '{pid}'\nexec sleep 100\n")
    curl.chmod(0o755)
    env = {**os.environ, "PATH": f"{tmp_path}:{os.environ['PATH']}", "QEL_PASSPHRASE": PASS}
    p = subprocess.Popen([QEL, "send", "vec", "ethereum", VECTOR["unsigned_hex"], "--rpc-url", "http://h/",
                          "--vault", str(shared)], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, text=True, start_new_session=True)
    try:
        deadline = time.monotonic() + 60
        while not pid.exists() or not pid.read_text().strip():
            assert time.monotonic() < deadline and p.poll() is None
            time.sleep(0.05)
        p.send_signal(signal.SIGINT)
        assert p.communicate(timeout=10) == ("", "qel: interrupted: the transaction may have reached the node; "
                                                 "look for it before sending it again\n") and p.returncode == 130
        with pytest.raises(ProcessLookupError):
            os.kill(int(pid.read_text()), 0)
    finally:
        try:
            os.killpg(p.pid, signal.SIGKILL)  # qel's own session: only what this test started
        except ProcessLookupError:
            pass
        p.wait()
