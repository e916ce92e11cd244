"""The installed `qel` command, run as a child process: through pipes, and at a pseudo-terminal."""

from __future__ import annotations

import json
import os
import pty
import re
import select
import subprocess
import sys
import time
import tomllib
from collections.abc import Callable
from pathlib import Path

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
EVM_SIG = bytes(Account.sign_message(encode_defunct(text="hello qel"), KNOWN[("evm", 0)]["private_key_hex"]).signature).hex()
SOL_SIG = SigningKey(bytes.fromhex(SOLANA_KEY)).sign(bytes(range(256))).signature.hex()
MAIL_SIG = Account.sign_typed_data(VECTOR["private_key_hex"], full_message=MAIL)


def child_env(env: dict[str, str | bytes] | None) -> dict[str, str | bytes]:
    return {k: v for k, v in os.environ.items() if k != "QEL_PASSPHRASE"} | (env or {})


def qel_run(*args: str, vault: Path | None = None, stdin: bytes | None = None,
            env: dict[str, str | bytes] | None = None) -> tuple[int, str, str]:
    """`qel args` with no terminal (its own session); QEL_PASSPHRASE only from `env`."""
    args += ("--vault", str(vault)) if vault else ()
    p = subprocess.run([QEL, *args], input=stdin, stdin=None if stdin is not None else subprocess.DEVNULL,
                       capture_output=True, env=child_env(env), start_new_session=True, timeout=60)
    code, out, err = p.returncode, p.stdout.decode(), p.stderr.decode()
    shows = next((a for a in args if not a.startswith("-")), "") in SHOWS_SECRETS
    assert "Traceback" not in err and not any(x in err or (x in out and not shows) for x in SECRETS)
    return code, out, err


def qel_tty(*args: str, steps: list[tuple[str, str]], env: dict[str, str] | None = None) -> tuple[int, str]:
    """`qel args` on a pseudo-terminal that is its controlling terminal: for each (expected, typed)
    step, waits until `expected` is shown, then types `typed`. Returns the exit status and the screen."""
    pid, fd = pty.fork()
    if pid == 0:
        try:
            os.execve(QEL, [QEL, *args], child_env(env))
        finally:
            os._exit(127)
    screen, deadline = b"", time.monotonic() + 60
    try:
        for expected, typed in [*steps, ("", "")]:  # the last step reads to the end
            while not expected or expected.encode() not in screen:
                assert select.select([fd], [], [], max(0.0, deadline - time.monotonic()))[0], f"timed out: {screen!r}"
                try:
                    chunk = os.read(fd, 4096)
                except OSError:  # EIO: the child closed the terminal
                    chunk = b""
                assert chunk or not expected, f"ended before {expected!r}: {screen!r}"
                if not chunk:
                    break
                screen += chunk
            time.sleep(0.1)
            os.write(fd, typed.encode())
    finally:
        os.close(fd)
        status = os.waitpid(pid, 0)[1]
    return os.waitstatus_to_exitcode(status), screen.decode().replace("\r\n", "\n")


def command_id(x: object) -> str:
    return x[0] if isinstance(x, list) and x and isinstance(x[0], str) else ""


def test_version() -> None:
    version = tomllib.loads((Path(__file__).parents[2] / "pyproject.toml").read_text())["project"]["version"]
    p = subprocess.run([sys.executable, "-m", "qel", "--version"], capture_output=True, text=True)
    assert (p.returncode, p.stdout) == (0, f"qel {version}\n")


@pytest.mark.parametrize(("args", "message"), [
    (["export", "w", "--passphrase", PASS], "qel: error: unrecognized arguments: --passphrase and 1 other word (not repeated)"),
    (["delete", "w", "--ye"], "qel: error: unrecognized arguments: --ye"),
    (["list", PASS, PASS], "qel: error: unrecognized arguments: 2 words (not repeated)"),
    (["address", "ethereum", "--index", "-1"],
     "qel address: error: argument --index: must be a whole number from 0 to 4294967295: '-1'"),
    (["import", "w", "--chain", "solana"], "qel import: error: --chain goes with --private-key"),
    (["import", "w", "--private-key", "--index", "1"], "qel import: error: --index does not go with --private-key"),
    (["import", "w", "--keystore", "f", "--private-key"],
     "qel import: error: --keystore does not go with --private-key, --chain or --index"),
    (["import", "w", "--keystore-password-file", "f"], "qel import: error: --keystore-password-file goes with --keystore"),
    (["export", "w", "--index", "1"], "qel export: error: --keystore-password-file and --index go with --keystore"),
    (["verify", "ethereum", "00", "m"], "qel verify: error: one of the arguments --address --public-key is required"),
])
def test_usage_errors(vault: Path, args: list[str], message: str) -> None:
    code, out, err = qel_run(*args, vault=vault, env=ENV)
    assert (code, out, err.splitlines()[-1]) == (2, "", message) and not vault.exists()


@pytest.mark.parametrize(("file", "args", "env", "out", "err"), [
    ((PASS + "\n", 0o644), [], {"QEL_PASSPHRASE": "wrong"}, json.dumps({"secret": ABANDON}, indent=2) + "\n",
     "warning: passphrase file '{}' is readable by group or others; chmod 600 it\n"),
    ((PASS + "\n\n", 0o600), [], {}, "", "qel: error: decryption failed: aead::Error\n"),  # one newline is dropped
    (None, ["--passphrase-file", "/nonexistent/pass"], {}, "",
     "qel: error: cannot read passphrase file '/nonexistent/pass': No such file or directory\n"),
    (None, ["--passphrase-file", "/dev/fd/0"], {}, "", "qel: error: passphrase file '/dev/fd/0' is not UTF-8 text\n"),
    (None, [], {}, "", "qel: error: no passphrase: use --passphrase-file FILE or set QEL_PASSPHRASE\n"),  # no terminal
    (None, [], {"QEL_PASSPHRASE": b"\xff"}, "", "qel: error: an argument or input is not valid UTF-8 text\n"),
])
def test_passphrase_sources(shared: Path, tmp_path: Path, file: tuple[str, int] | None, args: list[str],
                            env: dict[str, str | bytes], out: str, err: str) -> None:
    if file:
        path = tmp_path / "pass"
        path.write_text(file[0])
        path.chmod(file[1])
        args, err = ["--passphrase-file", str(path)], err.replace("{}", str(path))
    assert qel_run("export", "abandon", "--yes", "--json", *args, vault=shared, stdin=b"\xff", env=env) == \
        (0 if out else 1, out, err)


@pytest.mark.parametrize(("args", "steps", "code", "end"), [
    (["import", "w"], [("Recovery phrase: ", ABANDON + "\n"), ("New passphrase: ", "first\n"),
                       ("Repeat the passphrase: ", "second\n")], 1, "\nqel: error: the passphrases do not match\n"),
    (["import", "w", "--no-input"], [], 1, "qel: error: no recovery phrase: pipe it to standard input\n"),
    (["export", "abandon"], [("Print the secret of wallet 'abandon' (", "y\n"), ("Passphrase for 'abandon' (", PASS + "\n")],
     0, f"unlocking…\n{ABANDON}\n"),
    (["delete", "vec"], [("[y/N] ", "n\n")], 1, "[y/N] n\nqel: error: cancelled\n"),
    (["delete", "vec"], [("[y/N] ", "\x04")], 1, "[y/N] \nqel: error: no input\n"),
    # Ctrl-C at a prompt stops at once; while a signature is computed, it stops before anything is printed.
    (["export", "abandon", "--yes"], [("Passphrase for 'abandon' (", "\x03")], 130, "): \n"),
    (["sign-message", "abandon", "ethereum", "m"], [("Passphrase for", PASS + "\n"), ("unlocking…", "\x03")], 130,
     "unlocking…\n^C\n"),
], ids=command_id)
def test_at_a_terminal(scratch: Path, args: list[str], steps: list[tuple[str, str]], code: int, end: str) -> None:
    before = {p.name: p.read_bytes() for p in wallet_files(scratch)}
    status, screen = qel_tty(*args, "--vault", str(scratch), steps=steps)
    assert (status, screen[-len(end):]) == (code, end)
    assert not any(typed.strip() in screen for prompt, typed in steps if "hrase" in prompt)  # never echoed
    assert {p.name: p.read_bytes() for p in wallet_files(scratch)} == before


def test_create_at_a_terminal_and_ctrl_c(vault: Path) -> None:
    """Ctrl-C while the new wallet is written: the wallet and its phrase are still shown."""
    code, screen = qel_tty("create", "main", "--vault", str(vault), steps=[
        ("New passphrase: ", PASS + "\n"), ("Repeat the passphrase: ", PASS + "\n"), ("encrypting…", "\x03")])
    phrase = screen.rstrip().rsplit("\n", 1)[1].strip()
    assert code == 130 and PASS not in screen and screen.count(phrase) == 1
    for account in qel.get_wallet("main", str(vault))["accounts"]:
        assert account["address"] in screen and account["address"] == qel.derive_address(phrase, account["chain_id"])


def test_ctrl_c_ends_a_waiting_send(shared: Path, tmp_path: Path) -> None:
    """Ctrl-C while curl waits on the node stops curl (which ignores it) and the command at once."""
    (tmp_path / "curl").write_text("#!/bin/sh\ntrap '' INT\necho \"curl $$ waits\" > /dev/tty\nexec sleep 100\n")
    (tmp_path / "curl").chmod(0o755)
    code, screen = qel_tty("send", "vec", "ethereum", VECTOR["unsigned_hex"], "--rpc-url", "http://h/", "--vault",
                           str(shared), steps=[(" waits", "\x03")], env={**ENV, "PATH": f"{tmp_path}:{os.environ['PATH']}"})
    assert (code, screen.rsplit("\n", 2)[1]) == \
        (130, "qel: interrupted: the transaction may have reached the node; look for it before sending it again")
    with pytest.raises(ProcessLookupError):
        os.kill(int(re.findall(r"curl (\d+) waits", screen)[0]), 0)


def test_list_show_rename_delete(scratch: Path) -> None:
    wallets = qel.list_wallets(str(scratch))
    lines = qel_run("--vault", str(scratch), "list")[1].splitlines()  # common options also go first
    assert [line.split()[:2] for line in lines] == [["NAME", "ID"]] + [[w["name"], w["id"][:8]] for w in wallets]
    vec = qel.get_wallet("vec", str(scratch))
    shown = qel_run("show", vec["id"][:8], vault=scratch)[1]  # an ID prefix; a key's accounts have no path
    assert re.search(rf"^eip155:1 +- +{VECTOR['from_address']}$", shown, re.M)
    assert qel_run("show", vec["id"][:7], vault=scratch)[::2] == (1, f"qel: error: wallet not found: '{vec['id'][:7]}'\n")
    assert qel_run("rename", "vec", "key", vault=scratch)[1] == f"renamed 'vec' ({vec['id'][:8]}) to 'key'\n"
    assert json.loads(qel_run("delete", "key", "--yes", "--json", vault=scratch)[1]) == {**vec, "name": "key"}
    assert [w["name"] for w in qel.list_wallets(str(scratch))] == ["at1", "abandon"]


def test_hostile_names_are_shown_escaped(scratch: Path) -> None:
    path = next(p for p in wallet_files(scratch) if json.loads(p.read_text())["name"] == "vec")
    path.write_text(path.read_text().replace('"name": "vec"', '"name": "\\u001b[2Jgone"'))
    listed = qel_run("list", vault=scratch)[1]
    assert "\x1b" not in listed and "\\x1b[2Jgone" in listed
    assert qel_run("show", "\x1b[2J", vault=scratch)[2] == "qel: error: wallet not found: '\\x1b[2J'\n"
    assert qel_run("list", vault=scratch / "empty")[1] == "no wallets\n"


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
    for name, text in (("typed", json.dumps(MAIL)), ("new", NEW_PASS + "\n"), ("kspw", KEYSTORES["password"])):
        (tmp_path / name).write_text(text)
        (tmp_path / name).chmod(0o600)
    return {f"@{p.name}": str(p) for p in tmp_path.iterdir()}


@pytest.mark.parametrize(("args", "stdin", "check"), [
    (["mnemonic", "--words", "24", "--json"], None,
     lambda out, vault: list(json.loads(out)) == ["mnemonic"] and len(json.loads(out)["mnemonic"].split(" ")) == 24),
    (["create", "w", "--words", "24", "--json"], None, lambda out, vault: len((w := json.loads(out)).pop("mnemonic")
     .split()) == 24 and w == qel.get_wallet("w", str(vault))),
    (["import", "phrase", "--index", "1"], ABANDON.encode(), lambda out, vault: all(
        f"{KNOWN[(f, 1)]['path']} " in out and KNOWN[(f, 1)]["address"] in out for f in FAMILIES)),
    (["import", "key", "--private-key", "--chain", "solana", "--json"], f"0x{SOLANA_KEY}\n".encode(),
     lambda out, vault: json.loads(out)["accounts"][1]["address"] == KNOWN[("solana", 0)]["address"]),
    (["address", "ton", "--index", "1"], ("  " + ABANDON.replace(" ", " \t ") + "\n\n").encode(),
     KNOWN[("ton", 1)]["address"] + "\n"),
    (["verify", "ethereum", EVM_SIG, "hello qel", "--address", KNOWN[("evm", 0)]["address"]], None,
     "the signature matches\n"),
    (["sign-message", "abandon", "solana", "--file", "-"], bytes(range(256)), f"signature    {SOL_SIG}\nrecovery id  none\n"),
    (["sign-typed-data", "vec", "ethereum", "@typed"], None,
     f"signature    {bytes(MAIL_SIG.signature).hex()}\nrecovery id  {MAIL_SIG.v}\n"),
    (["sign-tx", "vec", "ethereum", "--json"], f"0x{VECTOR['unsigned_hex']}\n".encode(),
     json.dumps({"signature": VECTOR["signature_rsv_hex"], "recovery_id": VECTOR["y_parity"]}, indent=2) + "\n"),
    (["change-passphrase", "vec", "--new-passphrase-file", "@new"], None,
     lambda out, vault: VECTOR["private_key_hex"] in qel.export_wallet("vec", NEW_PASS, str(vault))),
    (["import", "ks", "--keystore", "-", "--keystore-password-file", "@kspw", "--json"],
     json.dumps(KEYSTORES["vectors"][1]["keystore"]).encode(),
     lambda out, vault: json.loads(out)["accounts"][0]["address"] == KEYSTORES["address"]),
    (["export", "abandon", "--keystore", "--index", "1", "--keystore-password-file", "@kspw"], None,
     lambda out, vault: Account.decrypt(out, KEYSTORES["password"]).hex() == KNOWN[("evm", 1)]["private_key_hex"]),
], ids=command_id)
def test_commands(scratch: Path, inputs: dict[str, str], args: list[str], stdin: bytes | None,
                  check: str | Callable[[str, Path], bool]) -> None:
    code, out, err = qel_run(*[inputs.get(x, x) for x in args], vault=scratch, stdin=stdin, env=ENV)
    assert (code, err) == (0, "")
    assert out == check if isinstance(check, str) else check(out, scratch)


@pytest.mark.parametrize(("args", "stdin", "env", "message"), [
    (["import", "w"], b"abandon " * 11 + b"abandon", ENV,
     "invalid mnemonic phrase: the checksum or the number of words is wrong"),  # the phrase is not repeated
    (["import", "w"], ABANDON.replace("about", "About").encode(), ENV,
     "invalid mnemonic phrase: word 12 is not in the word list"),
    (["import", "w"], b" \n", ENV, "no recovery phrase given"),
    (["create", "vec", "--no-input"], None, {}, "wallet name already exists: 'vec'"),  # before any passphrase
    (["import", "w"], b"abandon \xff", ENV, "standard input is not UTF-8 text"),
    (["import", "w", "--private-key"], b"", ENV, "no private key given"),
    (["import", "ks", "--keystore", "-"], b"{}", ENV, "no keystore password: use --keystore-password-file FILE"),
    (["verify", "ethereum", EVM_SIG, "hello qeL", "--address", KNOWN[("evm", 0)]["address"], "--json"], None,
     {}, "the signature does not match"),
    (["sign-message", "vec", "ethereum", "--file", "/nonexistent/m"], None, ENV,
     "cannot read '/nonexistent/m': No such file or directory"),
    (["sign-typed-data", "vec", "ethereum", "-"], b"\xff", {}, "'-' is not UTF-8 text"),
    (["delete", "vec"], None, {}, "this needs confirmation: add --yes to go ahead without a prompt"),
    (["change-passphrase", "vec"], None, ENV, "no new passphrase: use --new-passphrase-file FILE or set QEL_NEW_PASSPHRASE"),
], ids=command_id)
def test_commands_fail(scratch: Path, args: list[str], stdin: bytes | None, env: dict[str, str], message: str) -> None:
    before = {p.name: p.read_bytes() for p in wallet_files(scratch)}
    code, out, err = qel_run(*args, vault=scratch, stdin=stdin, env=env)
    mismatch = '{\n  "valid": false\n}\n' if "--json" in args else ""  # with --json a mismatch is also a document
    assert (code, out, err) == (1, mismatch, f"qel: error: {message}\n")
    assert {p.name: p.read_bytes() for p in wallet_files(scratch)} == before
