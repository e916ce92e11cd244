"""The installed `qel` command, run as a child process: through pipes, and at a pseudo-terminal."""

from __future__ import annotations

import json
import os
import pty
import re
import select
import shutil
import subprocess
import sys
import time
import tomllib
from dataclasses import dataclass
from pathlib import Path

import pytest
from eth_account import Account
from eth_account.messages import encode_defunct
from nacl.signing import VerifyKey

import qel
from _support import ABANDON, RpcServer, b58decode, known_accounts, load

QEL = str(Path(sys.executable).with_name("qel"))
KNOWN = known_accounts()
PASS = "cli passphrase"
VECTOR = load("eip1559.json")["vectors"][0]
SOLANA_KEY = KNOWN[("solana", 0)]["private_key_hex"]
# Never in error output, and in standard output only where a command exists to show it.
SECRETS = [PASS, ABANDON, VECTOR["private_key_hex"], SOLANA_KEY]
SHOWS_SECRETS = {"mnemonic", "create", "export"}
FAMILIES = ["evm", "solana", "bitcoin", "cosmos", "tron", "ton"]


@dataclass
class Run:
    code: int
    out: str
    err: str


def qel_run(*args: str | bytes, stdin: bytes | None = None, env: dict[str, str | bytes] | None = None) -> Run:
    """`qel args` with no terminal (its own session), optionally `stdin`, and QEL_PASSPHRASE only from `env`."""
    child_env: dict[str | bytes, str | bytes] = {k: v for k, v in os.environ.items() if k != "QEL_PASSPHRASE"}
    child_env.update(env or {})
    p = subprocess.run([QEL, *args], input=stdin, stdin=None if stdin is not None else subprocess.DEVNULL,
                       capture_output=True, env=child_env, start_new_session=True, timeout=60)
    run = Run(p.returncode, p.stdout.decode(), p.stderr.decode())
    assert "Traceback" not in run.err
    command = next((a for a in args if isinstance(a, str) and not a.startswith("-")), "")
    for secret in SECRETS:
        assert secret not in run.err
        assert command in SHOWS_SECRETS or secret not in run.out
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


def wallet_files(vault: Path) -> list[Path]:
    return sorted((vault / "wallets").glob("*.json"))


@pytest.fixture(scope="module")
def shared(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """Two wallets under PASS, for tests that do not change them: 'abandon' (the published phrase)
    and 'vec' (the private key of a published EIP-1559 vector)."""
    vault = tmp_path_factory.mktemp("cli") / "vault"
    qel.import_wallet_mnemonic("abandon", ABANDON, passphrase=PASS, vault_path_opt=str(vault))
    qel.import_wallet_private_key("vec", VECTOR["private_key_hex"], passphrase=PASS, vault_path_opt=str(vault))
    return vault


@pytest.fixture
def scratch(shared: Path, tmp_path: Path) -> Path:
    """A vault of its own holding the shared wallets, for tests that change it (no new sealing)."""
    vault = tmp_path / "copy"
    shutil.copytree(shared, vault)
    return vault


COMMANDS = ["mnemonic", "address", "create", "import", "list", "show", "rename", "delete", "export",
            "sign-message", "sign-tx", "send"]


def test_version_and_help() -> None:
    version = tomllib.loads((Path(__file__).parents[2] / "pyproject.toml").read_text())["project"]["version"]
    assert qel_run("--version").out == f"qel {version}\n"
    module = subprocess.run([sys.executable, "-m", "qel", "--version"], capture_output=True, text=True)
    assert (module.returncode, module.stdout) == (0, f"qel {version}\n")
    listed = qel_run("--help").out
    for command in COMMANDS:
        assert re.search(rf"^    {command} +\S", listed, re.M)
        run = qel_run(command, "--help")
        assert run.code == 0 and f"\nexample:\n  qel {command}" in run.out


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
])
def test_usage_errors(tmp_path: Path, args: list[str], message: str) -> None:
    run = qel_run(*args, "--vault", str(tmp_path / "v"), env={"QEL_PASSPHRASE": PASS})
    assert (run.code, run.out, run.err.splitlines()[-1]) == (2, "", message)
    assert not (tmp_path / "v").exists()


def test_mnemonic() -> None:
    twelve = qel_run("mnemonic").out
    assert twelve.endswith("\n") and len(twelve.split()) == 12
    doc = json.loads(qel_run("mnemonic", "--words", "24", "--json").out)
    assert list(doc) == ["mnemonic"] and len(doc["mnemonic"].split(" ")) == 24


@pytest.mark.parametrize(("args", "family", "index"), [
    (["ethereum"], "evm", 0),
    (["solana", "--index", "1"], "solana", 1),
    (["ton:mainnet", "--index", "1", "--json"], "ton", 1),
])
def test_address(args: list[str], family: str, index: int) -> None:
    messy = ("  " + ABANDON.replace(" ", " \t ") + "\n\n").encode()
    run = qel_run("address", *args, stdin=messy)
    expected = KNOWN[(family, index)]["address"]
    assert run.out == (json.dumps({"address": expected}, indent=2) if "--json" in args else expected) + "\n"


@pytest.mark.parametrize(("phrase", "message"), [
    ("abandon " * 11 + "abandon", "invalid mnemonic phrase: the checksum or the number of words is wrong"),
    (ABANDON.replace("about", "About"), "invalid mnemonic phrase: word 12 is not in the word list"),
    ("zoo " + ABANDON, "invalid mnemonic phrase: the mnemonic's entropy length `18` is invalid"),
    (" \n", "no recovery phrase given"),
    ("abandon \udcff", "standard input is not UTF-8 text"),
])
def test_bad_phrases_are_not_repeated(tmp_path: Path, phrase: str, message: str) -> None:
    vault = tmp_path / "v"
    for command in (["address", "ethereum"], ["import", "w", "--vault", str(vault)]):
        run = qel_run(*command, stdin=phrase.encode(errors="surrogateescape"), env={"QEL_PASSPHRASE": PASS})
        assert (run.code, run.out, run.err) == (1, "", f"qel: error: {message}\n")
        assert "About" not in run.err
    assert wallet_files(vault) == []


def test_create_at_a_terminal_then_export_address_show(tmp_path: Path) -> None:
    vault = str(tmp_path / "v")
    code, screen = qel_tty("create", "main", "--vault", vault,
                           steps=[("New passphrase: ", PASS + "\n"), ("Repeat the passphrase: ", PASS + "\n")])
    assert code == 0 and PASS not in screen and "encrypting…\n" in screen
    phrase = screen.rstrip("\n").rsplit("\n", 1)[1].strip()
    assert screen.count(phrase) == 1 and len(phrase.split(" ")) == 12

    exported = qel_run("export", "main", "--yes", "--json", "--vault", vault, env={"QEL_PASSPHRASE": PASS})
    assert (exported.code, exported.err, json.loads(exported.out)) == (0, "", {"secret": phrase})
    shown = json.loads(qel_run("show", "main", "--json", "--vault", vault).out)
    assert shown == qel.get_wallet("main", vault)
    for account in shown["accounts"]:
        assert account["address"] in screen
        assert qel_run("address", account["chain_id"], stdin=phrase.encode()).out == account["address"] + "\n"


def test_create_json_and_taken_name(tmp_path: Path) -> None:
    vault = str(tmp_path / "v")
    run = qel_run("create", "w", "--words", "24", "--json", "--vault", vault, env={"QEL_PASSPHRASE": PASS})
    assert (run.code, run.err) == (0, "")
    doc = json.loads(run.out)
    assert list(doc) == ["id", "name", "accounts", "created_at", "mnemonic"] and len(doc["mnemonic"].split()) == 24
    assert {k: v for k, v in doc.items() if k != "mnemonic"} == qel.get_wallet("w", vault)
    # Fails before any passphrase is needed.
    taken = qel_run("create", "w", "--no-input", "--vault", vault)
    assert (taken.code, taken.out, taken.err) == (1, "", "qel: error: wallet name already exists: 'w'\n")
    assert len(wallet_files(Path(vault))) == 1


def test_import(tmp_path: Path) -> None:
    vault = str(tmp_path / "v")
    env = {"QEL_PASSPHRASE": PASS}
    run = qel_run("import", "phrase", "--index", "1", "--vault", vault, stdin=ABANDON.encode(), env=env)
    assert run.code == 0 and run.out.startswith("name     phrase\n")
    for family in FAMILIES:
        assert KNOWN[(family, 1)]["path"] + " " in run.out and KNOWN[(family, 1)]["address"] in run.out
    run = qel_run("import", "key", "--private-key", "--chain", "solana", "--json", "--vault", vault,
                  stdin=f"0x{SOLANA_KEY}\n".encode(), env=env)
    doc = json.loads(run.out)
    assert doc == qel.get_wallet("key", vault) and doc["accounts"][1]["address"] == KNOWN[("solana", 0)]["address"]


@pytest.mark.parametrize(("args", "stdin", "message"), [
    (["--private-key"], "0X" + SOLANA_KEY, "invalid input: invalid hex private key: Invalid character 'X' at position 1"),
    (["--private-key"], "", "no private key given"),
])
def test_import_bad_keys(tmp_path: Path, args: list[str], stdin: str, message: str) -> None:
    run = qel_run("import", "w", *args, "--vault", str(tmp_path), stdin=stdin.encode(), env={"QEL_PASSPHRASE": PASS})
    assert (run.code, run.out, run.err) == (1, "", f"qel: error: {message}\n")
    assert wallet_files(tmp_path) == []


def test_import_at_a_terminal_fails(tmp_path: Path) -> None:
    code, screen = qel_tty("import", "w", "--vault", str(tmp_path), steps=[
        ("Recovery phrase: ", ABANDON + "\n"), ("New passphrase: ", "one\n"), ("Repeat the passphrase: ", "two\n")])
    assert code == 1 and screen.endswith("qel: error: the passphrases do not match\n")
    assert ABANDON not in screen and "one" not in screen
    code, screen = qel_tty("import", "w", "--no-input", "--vault", str(tmp_path), steps=[])
    assert (code, screen) == (1, "qel: error: no recovery phrase: pipe it to standard input\n")
    assert wallet_files(tmp_path) == []


@pytest.mark.parametrize(("content", "mode", "env", "ok"), [
    (PASS + "\n", 0o644, None, True),
    (PASS + "\n\n", 0o600, None, False),     # one newline is dropped, not two
    (PASS, 0o600, "wrong", True),            # the file comes before the environment
])
def test_passphrase_file(shared: Path, tmp_path: Path, content: str, mode: int, env: str | None, ok: bool) -> None:
    path = tmp_path / "pass"
    path.write_text(content)
    path.chmod(mode)
    run = qel_run("export", "abandon", "--yes", "--json", "--passphrase-file", str(path), "--vault", str(shared),
                  env={"QEL_PASSPHRASE": env} if env else None)
    warning = f"warning: passphrase file '{path}' is readable by group or others; chmod 600 it\n" if mode & 0o44 else ""
    if ok:
        assert (run.code, run.err, json.loads(run.out)) == (0, warning, {"secret": ABANDON})
    else:
        assert (run.code, run.out, run.err) == (1, "", warning + "qel: error: decryption failed: aead::Error\n")


@pytest.mark.parametrize(("args", "env", "message"), [
    (["--passphrase-file", "/nonexistent/pass"], {},
     "cannot read passphrase file '/nonexistent/pass': No such file or directory"),
    (["--passphrase-file", "/dev/fd/0"], {}, "passphrase file '/dev/fd/0' is not UTF-8 text"),
    (["--no-input"], {}, "no passphrase: use --passphrase-file FILE or set QEL_PASSPHRASE"),
    ([], {}, "no passphrase: use --passphrase-file FILE or set QEL_PASSPHRASE"),  # and no terminal to ask on
    ([], {"QEL_PASSPHRASE": b"\xff"}, "an argument or input is not valid UTF-8 text"),
])
def test_passphrase_failures(shared: Path, args: list[str], env: dict[str, str | bytes], message: str) -> None:
    run = qel_run("export", "abandon", "--yes", "--vault", str(shared), *args, stdin=b"\xff", env=env)
    assert (run.code, run.out, run.err) == (1, "", f"qel: error: {message}\n")


def test_prompts_at_a_terminal(scratch: Path) -> None:
    vault = str(scratch)
    code, screen = qel_tty("export", "abandon", "--vault", vault, steps=[
        ("Print the secret of wallet 'abandon' (", "y\n"), ("Passphrase for 'abandon' (", PASS + "\n")])
    assert code == 0 and screen.endswith(f"unlocking…\n{ABANDON}\n") and PASS not in screen

    for typed, message in (("n\n", "cancelled"), ("\x04", "no input")):
        code, screen = qel_tty("delete", "vec", "--vault", vault, steps=[("[y/N] ", typed)])
        assert (code, screen.splitlines()[-1]) == (1, f"qel: error: {message}")
    assert len(wallet_files(scratch)) == 2
    code, screen = qel_tty("delete", "vec", "--vault", vault, steps=[("[y/N] ", "yes\n")])
    assert code == 0 and re.search(r"^deleted wallet 'vec' \([0-9a-f]{8}\)$", screen, re.M)
    assert [w["name"] for w in qel.list_wallets(vault)] == ["abandon"]

    without = qel_run("delete", "abandon", "--vault", vault)
    assert (without.code, without.err) == (1, "qel: error: this needs confirmation: add --yes to go ahead without a prompt\n")


def test_ctrl_c(shared: Path, tmp_path: Path) -> None:
    vault = str(shared)
    # At a prompt: stops at once.
    code, screen = qel_tty("export", "abandon", "--yes", "--vault", vault, steps=[("Passphrase for", "\x03")])
    assert code == 130 and "Traceback" not in screen
    # While a signature is computed: nothing is printed.
    code, screen = qel_tty("sign-message", "abandon", "ethereum", "m", "--vault", vault,
                           steps=[("unlocking…", "\x03")], env={"QEL_PASSPHRASE": PASS})
    assert code == 130 and "signature" not in screen and "Traceback" not in screen
    # While a new wallet is written: the wallet and its phrase are still shown.
    new = str(tmp_path / "v")
    code, screen = qel_tty("create", "w", "--vault", new, steps=[("encrypting…", "\x03")], env={"QEL_PASSPHRASE": PASS})
    phrase = screen.rstrip().rsplit("\n", 1)[1].strip()
    assert code == 130 and qel.derive_address(phrase, "ton") == qel.get_wallet("w", new)["accounts"][5]["address"]


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
    shown = qel_run("show", vec["id"], "--vault", vault).out
    assert re.search(rf"^eip155:1 +- +{VECTOR['from_address']}$", shown, re.M)
    missing = qel_run("show", vec["id"][:7], "--vault", vault)
    assert (missing.code, missing.err) == (1, f"qel: error: wallet not found: '{vec['id'][:7]}'\n")

    run = qel_run("rename", "vec", "key", "--vault", vault)
    assert run.out == f"renamed 'vec' ({vec['id'][:8]}) to 'key'\n"
    assert json.loads(qel_run("rename", "key", "k2", "--json", "--vault", vault).out) == {**vec, "name": "k2"}

    run = qel_run("delete", "k2", "--yes", "--json", "--vault", vault)
    assert json.loads(run.out) == {**vec, "name": "k2"}
    assert [w["name"] for w in qel.list_wallets(vault)] == ["abandon"]


def test_hostile_names_are_shown_escaped(scratch: Path) -> None:
    path = next(p for p in wallet_files(scratch) if json.loads(p.read_text())["name"] == "vec")
    path.write_text(path.read_text().replace('"name": "vec"', '"name": "\\u001b[2Jgone"'))
    listed = qel_run("list", "--vault", str(scratch)).out
    assert "\x1b" not in listed and "\\x1b[2Jgone" in listed
    assert "\\u001b[2Jgone" in qel_run("list", "--json", "--vault", str(scratch)).out
    run = qel_run("show", "\x1b[2J", "--vault", str(scratch))
    assert run.err == "qel: error: wallet not found: '\\x1b[2J'\n"
    assert qel_run("list", "--vault", str(scratch / "empty")).out == "no wallets\n"
    assert qel_run("list", "--json", "--vault", str(scratch / "empty")).out == "[]\n"


def test_sign_message(shared: Path, tmp_path: Path) -> None:
    env = {"QEL_PASSPHRASE": PASS}
    run = qel_run("sign-message", "abandon", "ethereum", "hello qel", "--index", "1", "--json",
                  "--vault", str(shared), env=env)
    sig = json.loads(run.out)
    assert list(sig) == ["signature", "recovery_id"] and sig["recovery_id"] in (27, 28)
    signer = Account.recover_message(encode_defunct(text="hello qel"), signature=bytes.fromhex(sig["signature"]))
    assert signer == KNOWN[("evm", 1)]["address"]

    data = bytes(range(256))
    (tmp_path / "data").write_bytes(data)
    run = qel_run("sign-message", "abandon", "solana", "--file", str(tmp_path / "data"), "--vault", str(shared), env=env)
    lines = run.out.splitlines()
    assert lines[1] == "recovery id  none" and lines[0].startswith("signature    ")
    VerifyKey(b58decode(KNOWN[("solana", 0)]["address"])).verify(data, bytes.fromhex(lines[0].split()[1]))

    missing = qel_run("sign-message", "abandon", "solana", "--file", str(tmp_path / "nope"), "--vault", str(shared))
    assert missing.err == f"qel: error: cannot read '{tmp_path / 'nope'}': No such file or directory\n"


def test_sign_tx(shared: Path) -> None:
    env = {"QEL_PASSPHRASE": PASS}
    run = qel_run("sign-tx", "vec", "ethereum", VECTOR["unsigned_hex"], "--vault", str(shared), env=env)
    assert run.out == f"signature    {VECTOR['signature_rsv_hex']}\nrecovery id  {VECTOR['y_parity']}\n"
    run = qel_run("sign-tx", "vec", "ethereum", "--json", "--vault", str(shared),
                  stdin=f"0x{VECTOR['unsigned_hex']}\n".encode(), env=env)
    assert json.loads(run.out) == {"signature": VECTOR["signature_rsv_hex"], "recovery_id": VECTOR["y_parity"]}


def test_send(shared: Path) -> None:
    env = {"QEL_PASSPHRASE": PASS}
    with RpcServer() as server:
        run = qel_run("send", "vec", "ethereum", VECTOR["unsigned_hex"], "--rpc-url", server.url,
                      "--vault", str(shared), env=env)
        assert (run.code, run.out) == (0, "0xhash\n")
        server.reply = b'{"jsonrpc":"2.0","id":1,"result":"0xabc"}'
        run = qel_run("send", "vec", "ethereum", "-", "--json", "--rpc-url", server.url, "--vault", str(shared),
                      stdin=VECTOR["unsigned_hex"].encode(), env=env)
        assert json.loads(run.out) == {"tx_hash": "0xabc"}
    assert [json.loads(r)["params"] for r in server.requests] == [["0x" + VECTOR["signed_hex"]]] * 2


def test_closed_output(shared: Path) -> None:
    read, write = os.pipe()
    os.close(read)
    p = subprocess.run([QEL, "list", "--vault", str(shared)], stdout=write, stderr=subprocess.PIPE, text=True)
    os.close(write)
    assert (p.returncode, p.stderr) == (1, "")
