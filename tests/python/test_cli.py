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
from qel.cli.app import build_parser

QEL = str(Path(sys.executable).with_name("qel"))
SOLANA_KEY = KNOWN[("solana", 0)]["private_key_hex"]
ENV = {"QEL_PASSPHRASE": PASS}
NEW_PASS = "the new cli passphrase"
KEYSTORES = load("keystore-v3.json")
MAIL = load("eip712.json")["vectors"][0]["typed_data"]
# Never in error output, and in standard output only where a command exists to show it.
SECRETS = [PASS, NEW_PASS, KEYSTORES["password"], ABANDON, VECTOR["private_key_hex"], SOLANA_KEY]
SHOWS_SECRETS = {"mnemonic", "create", "export"}


class Run(NamedTuple):
    code: int
    out: str
    err: str


def qel_run(*args: str, stdin: bytes | None = None, env: dict[str, str | bytes] | None = None) -> Run:
    """`qel args` with no terminal (its own session), optionally `stdin`, and QEL_PASSPHRASE only from `env`."""
    child_env = {k: v for k, v in os.environ.items() if k != "QEL_PASSPHRASE"} | (env or {})
    p = subprocess.run([QEL, *args], input=stdin, stdin=None if stdin is not None else subprocess.DEVNULL,
                       capture_output=True, env=child_env, start_new_session=True, timeout=60)
    run = Run(p.returncode, p.stdout.decode(), p.stderr.decode())
    assert "Traceback" not in run.err
    command = next((a for a in args if not a.startswith("-")), "")
    for secret in SECRETS:
        assert secret not in run.err and (command in SHOWS_SECRETS or secret not in run.out)
    return run


def qel_tty(*args: str, steps: list[tuple[str, str]], env: dict[str, str] | None = None) -> tuple[int, str]:
    """`qel args` on a pseudo-terminal that is its controlling terminal: for each (expected, typed)
    step, waits until `expected` has been written, then types `typed`. Returns the exit status and
    everything written to the terminal."""
    child_env = {k: v for k, v in os.environ.items() if k != "QEL_PASSPHRASE"} | (env or {})
    pid, fd = pty.fork()
    if pid == 0:
        try:
            os.execve(QEL, [QEL, *args], child_env)
        finally:
            os._exit(127)
    seen = b""
    deadline = time.monotonic() + 60

    def read_more() -> bool:
        nonlocal seen
        ready, _, _ = select.select([fd], [], [], max(0.0, deadline - time.monotonic()))
        assert ready, f"timed out; the terminal shows {seen!r}"
        try:
            chunk = os.read(fd, 4096)
        except OSError:  # EIO: the child closed the terminal
            return False
        seen += chunk
        return bool(chunk)

    try:
        for expected, typed in steps:
            while expected.encode() not in seen:
                assert read_more(), f"ended before {expected!r}; the terminal shows {seen!r}"
            time.sleep(0.1)
            os.write(fd, typed.encode())
        while read_more():
            pass
    finally:
        os.close(fd)
        _, status = os.waitpid(pid, 0)
    return os.waitstatus_to_exitcode(status), seen.decode().replace("\r\n", "\n")


def test_version_and_help() -> None:
    version = tomllib.loads((Path(__file__).parents[2] / "pyproject.toml").read_text())["project"]["version"]
    assert qel_run("--version").out == f"qel {version}\n"
    module = subprocess.run([sys.executable, "-m", "qel", "--version"], capture_output=True, text=True)
    assert (module.returncode, module.stdout) == (0, f"qel {version}\n")
    listed = qel_run("--help").out
    for name, parser in build_parser()[1].items():
        assert re.search(rf"^    {name} +\S", listed, re.M) and f"\nexample:\n  qel {name}" in parser.format_help()


@pytest.mark.parametrize(("args", "message"), [
    ([], "qel: error: the following arguments are required: COMMAND"),
    (["mnemonic", "--words", "15"], "qel mnemonic: error: argument --words: invalid choice: 15 (choose from 12, 24)"),
    (["address", "ethereum", "--index", "4294967296"],
     "qel address: error: argument --index: must be a whole number from 0 to 4294967295: '4294967296'"),
    (["export", "w", "--passphrase", PASS], "qel: error: unrecognized arguments: --passphrase and 1 other word (not repeated)"),
    (["delete", "w", "--ye"], "qel: error: unrecognized arguments: --ye"),
    (["list", PASS], "qel: error: unrecognized arguments: 1 word (not repeated)"),
    (["import", "w", "--chain", "solana"], "qel import: error: --chain goes with --private-key"),
    (["import", "w", "--private-key", "--index", "1"], "qel import: error: --index does not go with --private-key"),
    (["sign-message", "w", "ethereum"], "qel sign-message: error: one of the arguments MESSAGE --file is required"),
    (["sign-message", "w", "ethereum", "m", "--file", "f"],
     "qel sign-message: error: argument --file: not allowed with argument MESSAGE"),
    (["verify", "ethereum", "00", "m"], "qel verify: error: one of the arguments --address --public-key is required"),
    (["import", "w", "--keystore", "f", "--private-key"],
     "qel import: error: --keystore does not go with --private-key, --chain or --index"),
    (["import", "w", "--keystore-password-file", "f"], "qel import: error: --keystore-password-file goes with --keystore"),
    (["export", "w", "--index", "1"], "qel export: error: --keystore-password-file and --index go with --keystore"),
])
def test_usage_errors(vault: Path, args: list[str], message: str) -> None:
    run = qel_run(*args, "--vault", str(vault), env=ENV)
    assert (run.code, run.out, run.err.splitlines()[-1]) == (2, "", message)
    assert not vault.exists()


def test_mnemonic_and_address() -> None:
    assert len(qel_run("mnemonic").out.split()) == 12
    doc = json.loads(qel_run("mnemonic", "--words", "24", "--json").out)
    assert list(doc) == ["mnemonic"] and len(doc["mnemonic"].split(" ")) == 24
    messy = ("  " + ABANDON.replace(" ", " \t ") + "\n\n").encode()
    assert qel_run("address", "ethereum", stdin=messy).out == KNOWN[("evm", 0)]["address"] + "\n"
    assert qel_run("address", "ton:mainnet", "--index", "1", "--json", stdin=messy).out == \
        json.dumps({"address": KNOWN[("ton", 1)]["address"]}, indent=2) + "\n"


@pytest.mark.parametrize(("args", "stdin", "message"), [
    (args, phrase, message) for phrase, message in [
        ("abandon " * 11 + "abandon", "invalid mnemonic phrase: the checksum or the number of words is wrong"),
        (ABANDON.replace("about", "About"), "invalid mnemonic phrase: word 12 is not in the word list"),
        ("zoo " + ABANDON, "invalid mnemonic phrase: the mnemonic's entropy length `18` is invalid"),
        (" \n", "no recovery phrase given"),
        ("abandon \udcff", "standard input is not UTF-8 text"),
    ] for args in (["address", "ethereum"], ["import", "w"])  # the phrase is not repeated
] + [
    (["import", "w", "--private-key"], "0X" + SOLANA_KEY,
     "invalid input: invalid hex private key: Invalid character 'X' at position 1"),
    (["import", "w", "--private-key"], "", "no private key given"),
])
def test_bad_phrases_and_keys(vault: Path, args: list[str], stdin: str, message: str) -> None:
    run = qel_run(*args, "--vault", str(vault), stdin=stdin.encode(errors="surrogateescape"), env=ENV)
    assert (run.code, run.out, run.err) == (1, "", f"qel: error: {message}\n")
    assert wallet_files(vault) == []


def test_create_at_a_terminal_then_export_and_show(vault: Path) -> None:
    code, screen = qel_tty("create", "main", "--vault", str(vault),
                           steps=[("New passphrase: ", PASS + "\n"), ("Repeat the passphrase: ", PASS + "\n")])
    assert code == 0 and PASS not in screen and "encrypting…\n" in screen
    phrase = screen.rstrip("\n").rsplit("\n", 1)[1].strip()
    assert screen.count(phrase) == 1 and len(phrase.split(" ")) == 12
    exported = qel_run("export", "main", "--yes", "--json", "--vault", str(vault), env=ENV)
    assert (exported.code, exported.err, json.loads(exported.out)) == (0, "", {"secret": phrase})
    shown = json.loads(qel_run("show", "main", "--json", "--vault", str(vault)).out)
    assert shown == qel.get_wallet("main", str(vault))
    for account in shown["accounts"]:
        assert account["address"] in screen and account["address"] == qel.derive_address(phrase, account["chain_id"])


def test_create_and_import_through_pipes(vault: Path) -> None:
    run = qel_run("create", "w", "--words", "24", "--json", "--vault", str(vault), env=ENV)
    doc = json.loads(run.out)
    assert (run.code, run.err, list(doc)) == (0, "", ["id", "name", "accounts", "created_at", "mnemonic"])
    assert len(doc.pop("mnemonic").split()) == 24 and doc == qel.get_wallet("w", str(vault))
    # Fails before any passphrase is needed.
    taken = qel_run("create", "w", "--no-input", "--vault", str(vault))
    assert taken == (1, "", "qel: error: wallet name already exists: 'w'\n") and len(wallet_files(vault)) == 1
    run = qel_run("import", "phrase", "--index", "1", "--vault", str(vault), stdin=ABANDON.encode(), env=ENV)
    assert run.code == 0 and run.out.startswith("name     phrase\n")
    assert all(f"{KNOWN[(f, 1)]['path']} " in run.out and KNOWN[(f, 1)]["address"] in run.out for f in FAMILIES)
    run = qel_run("import", "key", "--private-key", "--chain", "solana", "--json", "--vault", str(vault),
                  stdin=f"0x{SOLANA_KEY}\n".encode(), env=ENV)
    doc = json.loads(run.out)
    assert doc == qel.get_wallet("key", str(vault)) and doc["accounts"][1]["address"] == KNOWN[("solana", 0)]["address"]


def test_import_at_a_terminal_fails(vault: Path) -> None:
    code, screen = qel_tty("import", "w", "--vault", str(vault), steps=[
        ("Recovery phrase: ", ABANDON + "\n"), ("New passphrase: ", "one\n"), ("Repeat the passphrase: ", "two\n")])
    assert code == 1 and screen.endswith("qel: error: the passphrases do not match\n")
    assert ABANDON not in screen and "one" not in screen
    code, screen = qel_tty("import", "w", "--no-input", "--vault", str(vault), steps=[])
    assert (code, screen) == (1, "qel: error: no recovery phrase: pipe it to standard input\n")
    assert wallet_files(vault) == []


AEAD = "qel: error: decryption failed: aead::Error\n"
NO_PASSPHRASE = "qel: error: no passphrase: use --passphrase-file FILE or set QEL_PASSPHRASE\n"


@pytest.mark.parametrize(("file", "args", "env", "out", "err"), [
    ((PASS + "\n", 0o644), [], {}, json.dumps({"secret": ABANDON}, indent=2) + "\n",
     "warning: passphrase file '{}' is readable by group or others; chmod 600 it\n"),
    ((PASS + "\n\n", 0o600), [], {}, "", AEAD),  # one newline is dropped, not two
    ((PASS, 0o600), [], {"QEL_PASSPHRASE": "wrong"}, json.dumps({"secret": ABANDON}, indent=2) + "\n", ""),
    (None, ["--passphrase-file", "/nonexistent/pass"], {}, "",
     "qel: error: cannot read passphrase file '/nonexistent/pass': No such file or directory\n"),
    (None, ["--passphrase-file", "/dev/fd/0"], {}, "", "qel: error: passphrase file '/dev/fd/0' is not UTF-8 text\n"),
    (None, ["--no-input"], {}, "", NO_PASSPHRASE),
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
    run = qel_run("export", "abandon", "--yes", "--json", "--vault", str(shared), *args, stdin=b"\xff", env=env)
    assert run == (0 if out else 1, out, err)


def test_prompts_at_a_terminal(scratch: Path) -> None:
    vault = str(scratch)
    code, screen = qel_tty("export", "abandon", "--vault", vault, steps=[
        ("Print the secret of wallet 'abandon' (", "y\n"), ("Passphrase for 'abandon' (", PASS + "\n")])
    assert code == 0 and screen.endswith(f"unlocking…\n{ABANDON}\n") and PASS not in screen
    for typed, message in (("n\n", "cancelled"), ("\x04", "no input")):
        code, screen = qel_tty("delete", "vec", "--vault", vault, steps=[("[y/N] ", typed)])
        assert (code, screen.splitlines()[-1]) == (1, f"qel: error: {message}")
    assert len(wallet_files(scratch)) == 3
    code, screen = qel_tty("delete", "vec", "--vault", vault, steps=[("[y/N] ", "yes\n")])
    assert code == 0 and re.search(r"^deleted wallet 'vec' \([0-9a-f]{8}\)$", screen, re.M)
    assert [w["name"] for w in qel.list_wallets(vault)] == ["at1", "abandon"]
    assert qel_run("delete", "abandon", "--vault", vault)[::2] == \
        (1, "qel: error: this needs confirmation: add --yes to go ahead without a prompt\n")


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
    vault = str(scratch)
    wallets = qel.list_wallets(vault)
    assert json.loads(qel_run("list", "--json", "--vault", vault).out) == wallets
    lines = qel_run("--vault", vault, "list").out.splitlines()
    assert lines[0].split() == ["NAME", "ID", "CREATED", "ACCOUNTS"]
    for line, w in zip(lines[1:], wallets, strict=True):
        assert line.split()[:2] == [w["name"], w["id"][:8]] and line.endswith("  6")
        assert line.index(w["id"][:8]) == lines[0].index("ID")
    vec = qel.get_wallet("vec", vault)
    assert json.loads(qel_run("show", vec["id"][:8], "--json", "--vault", vault).out) == vec
    assert re.search(rf"^eip155:1 +- +{VECTOR['from_address']}$", qel_run("show", vec["id"], "--vault", vault).out, re.M)
    assert qel_run("show", vec["id"][:7], "--vault", vault)[::2] == (1, f"qel: error: wallet not found: '{vec['id'][:7]}'\n")
    assert qel_run("rename", "vec", "key", "--vault", vault).out == f"renamed 'vec' ({vec['id'][:8]}) to 'key'\n"
    assert json.loads(qel_run("rename", "key", "k2", "--json", "--vault", vault).out) == {**vec, "name": "k2"}
    assert json.loads(qel_run("delete", "k2", "--yes", "--json", "--vault", vault).out) == {**vec, "name": "k2"}
    assert [w["name"] for w in qel.list_wallets(vault)] == ["at1", "abandon"]


def test_hostile_names_are_shown_escaped(scratch: Path) -> None:
    path = next(p for p in wallet_files(scratch) if json.loads(p.read_text())["name"] == "vec")
    path.write_text(path.read_text().replace('"name": "vec"', '"name": "\\u001b[2Jgone"'))
    listed = qel_run("list", "--vault", str(scratch)).out
    assert "\x1b" not in listed and "\\x1b[2Jgone" in listed
    assert "\\u001b[2Jgone" in qel_run("list", "--json", "--vault", str(scratch)).out
    assert qel_run("show", "\x1b[2J", "--vault", str(scratch)).err == "qel: error: wallet not found: '\\x1b[2J'\n"
    assert qel_run("list", "--vault", str(scratch / "empty")).out == "no wallets\n"
    assert qel_run("list", "--json", "--vault", str(scratch / "empty")).out == "[]\n"


def test_sign_and_send(shared: Path, tmp_path: Path) -> None:
    vault = str(shared)
    run = qel_run("sign-message", "abandon", "ethereum", "hello qel", "--index", "1", "--json", "--vault", vault, env=ENV)
    assert json.loads(run.out) == qel.sign_message("abandon", "ethereum", "hello qel", PASS, index=1, vault_path_opt=vault)
    (tmp_path / "data").write_bytes(bytes(range(256)))
    run = qel_run("sign-message", "abandon", "solana", "--file", str(tmp_path / "data"), "--vault", vault, env=ENV)
    sig = qel.sign_message("abandon", "solana", bytes(range(256)).hex(), PASS, "hex", vault_path_opt=vault)
    assert run.out == f"signature    {sig['signature']}\nrecovery id  none\n"
    missing = qel_run("sign-message", "abandon", "solana", "--file", str(tmp_path / "nope"), "--vault", vault)
    assert missing.err == f"qel: error: cannot read '{tmp_path / 'nope'}': No such file or directory\n"

    run = qel_run("sign-tx", "vec", "ethereum", VECTOR["unsigned_hex"], "--vault", vault, env=ENV)
    assert run.out == f"signature    {VECTOR['signature_rsv_hex']}\nrecovery id  {VECTOR['y_parity']}\n"
    run = qel_run("sign-tx", "vec", "ethereum", "--json", "--vault", vault, stdin=f"0x{VECTOR['unsigned_hex']}\n".encode(),
                  env=ENV)
    assert json.loads(run.out) == {"signature": VECTOR["signature_rsv_hex"], "recovery_id": VECTOR["y_parity"]}
    with RpcServer() as server:
        run = qel_run("send", "vec", "ethereum", VECTOR["unsigned_hex"], "--rpc-url", server.url, "--vault", vault, env=ENV)
        assert run[:2] == (0, "0xhash\n")
        server.answer(b'{"jsonrpc":"2.0","id":1,"result":"0xabc"}')
        run = qel_run("send", "vec", "ethereum", "-", "--json", "--rpc-url", server.url, "--vault", vault,
                      stdin=VECTOR["unsigned_hex"].encode(), env=ENV)
        assert json.loads(run.out) == {"tx_hash": "0xabc"}
    assert [json.loads(r)["params"] for r in server.requests] == [["0x" + VECTOR["signed_hex"]]] * 2


def test_closed_output(shared: Path) -> None:
    read, write = os.pipe()
    os.close(read)
    p = subprocess.run([QEL, "list", "--vault", str(shared)], stdout=write, stderr=subprocess.PIPE, text=True)
    os.close(write)
    assert (p.returncode, p.stderr) == (1, "")


# ---- change-passphrase, verify, sign-typed-data, keystores ----

EVM0, SOL0 = KNOWN[("evm", 0)], KNOWN[("solana", 0)]
EVM_SIG = bytes(Account.sign_message(encode_defunct(text="hello qel"), EVM0["private_key_hex"]).signature).hex()
SOL_SIG = SigningKey(bytes.fromhex(SOLANA_KEY)).sign(bytes(range(256))).signature.hex()
MAIL_SIG = Account.sign_typed_data(VECTOR["private_key_hex"], full_message=MAIL)


@pytest.fixture
def inputs(tmp_path: Path) -> dict[str, str]:
    """Files the commands read, by the name the tables below use for them."""
    files = {"@typed": json.dumps(MAIL), "@new": NEW_PASS + "\n", "@kspw": KEYSTORES["password"], "@wrong": "wrong",
             "@keystore": json.dumps(KEYSTORES["vectors"][0]["keystore"])}
    for name, text in files.items():
        (tmp_path / name[1:]).write_text(text)
        (tmp_path / name[1:]).chmod(0o600)
    return {name: str(tmp_path / name[1:]) for name in files}


def qel_in(vault: Path, inputs: dict[str, str], args: list[str], stdin: bytes | None, env: dict[str, str]) -> Run:
    return qel_run(*[inputs.get(x, x) for x in args], "--vault", str(vault), stdin=stdin, env=env)


def vault_bytes(vault: Path) -> dict[str, bytes]:
    return {p.name: p.read_bytes() for p in wallet_files(vault)}


@pytest.mark.parametrize(("args", "stdin", "check"), [
    (["verify", "ethereum", EVM_SIG, "hello qel", "--address", EVM0["address"]], None,
     "the signature matches\n"),
    (["verify", "solana", "0x" + SOL_SIG, "--file", "-", "--public-key", SOL0["public_key_hex"], "--json"],
     bytes(range(256)), '{\n  "valid": true\n}\n'),
    (["sign-typed-data", "vec", "ethereum", "@typed"], None,
     f"signature    {bytes(MAIL_SIG.signature).hex()}\nrecovery id  {MAIL_SIG.v}\n"),
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
    run = qel_in(scratch, inputs, args, stdin, ENV)
    assert (run.code, run.err) == (0, "")
    assert run.out == check if isinstance(check, str) else check(run, scratch)


@pytest.mark.parametrize(("args", "stdin", "env", "message"), [
    (["verify", "ethereum", EVM_SIG, "hello qeL", "--address", EVM0["address"]], None, {},
     "the signature does not match"),
    (["verify", "ethereum", "abc", "m", "--address", EVM0["address"]], None, {},
     "invalid input: invalid hex signature: Odd number of digits"),
    (["sign-typed-data", "vec", "solana", "-"], json.dumps(MAIL).encode(), ENV,
     "invalid input: typed data (EIP-712) is signed on EVM chains only, not solana"),
    (["sign-typed-data", "vec", "ethereum", "-"], b"\xff", {}, "'-' is not UTF-8 text"),
    (["change-passphrase", "vec", "--new-passphrase-file", "@new"], None, {"QEL_PASSPHRASE": "wrong"},
     "decryption failed: aead::Error"),
    (["change-passphrase", "vec"], None, ENV,
     "no new passphrase: use --new-passphrase-file FILE or set QEL_NEW_PASSPHRASE"),
    (["import", "ks", "--keystore", "@keystore", "--keystore-password-file", "@wrong"], None,
     ENV, "decryption failed: keystore password is wrong or the file is corrupted"),
    (["import", "ks", "--keystore", "@keystore"], None, ENV,
     "no keystore password: use --keystore-password-file FILE"),
    (["export", "vec", "--keystore"], None, {"QEL_PASSPHRASE": "wrong"}, "decryption failed: aead::Error"),
], ids=lambda x: x[0] if isinstance(x, list) else "")
def test_wallet_tools_fail(scratch: Path, inputs: dict[str, str], args: list[str], stdin: bytes | None,
                           env: dict[str, str], message: str) -> None:
    before = vault_bytes(scratch)
    run = qel_in(scratch, inputs, args, stdin, env)
    assert (run.code, run.out, run.err) == (1, "", f"qel: error: {message}\n")
    assert vault_bytes(scratch) == before
    # With --json a mismatch is also a document on standard output.
    if message == "the signature does not match":
        assert json.loads(qel_in(scratch, inputs, [*args, "--json"], stdin, env).out) == {"valid": False}


def test_ctrl_c_ends_a_waiting_send(shared: Path, tmp_path: Path) -> None:
    """Ctrl-C (SIGINT to qel alone) while curl waits on the node stops curl and the command at once."""
    curl = tmp_path / "curl"
    curl.write_text(f"#!/bin/sh\necho $$ > '{tmp_path}/pid'\nexec sleep 100\n")
    curl.chmod(0o755)
    env = {**os.environ, "PATH": f"{tmp_path}:{os.environ['PATH']}", "QEL_PASSPHRASE": PASS}
    p = subprocess.Popen([QEL, "send", "vec", "ethereum", VECTOR["unsigned_hex"], "--rpc-url", "http://h/",
                          "--vault", str(shared)], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, text=True, start_new_session=True)
    try:
        deadline = time.monotonic() + 60
        while not (tmp_path / "pid").exists() or not (tmp_path / "pid").read_text().strip():
            assert time.monotonic() < deadline and p.poll() is None
            time.sleep(0.05)
        p.send_signal(signal.SIGINT)
        out, err = p.communicate(timeout=10)
        assert (p.returncode, out) == (130, "")
        assert err == ("qel: interrupted: the transaction may have reached the node; look for it before sending it "
                       "again\n")
        with pytest.raises(ProcessLookupError):
            os.kill(int((tmp_path / "pid").read_text()), 0)
    finally:
        try:
            os.killpg(p.pid, signal.SIGKILL)  # qel's own session: only what this test started
        except ProcessLookupError:
            pass
        p.wait()
