"""The installed `qel` command, run as a child process: through pipes, and at a pseudo-terminal."""

from __future__ import annotations

import contextlib
import fcntl
import json
import os
import select
import subprocess
import sys
import termios
import time
import tomllib
from collections.abc import Callable
from pathlib import Path

import pytest
from eth_account import Account
from eth_account.messages import encode_defunct
from nacl.signing import SigningKey

import qel
from _support import ABANDON, ETH_UNSIGNED, KNOWN, PASS, VECTOR, RpcServer, load
from qel.cli import output

QEL = str(Path(sys.executable).with_name("qel"))
SOLANA_KEY = KNOWN[("solana", 0)]["private_key_hex"]
ENV = {"QEL_PASSPHRASE": PASS}
NEW_PASS = "the new cli passphrase"
KEYSTORES = load("keystore-v3.json")
MAIL = load("eip712.json")["vectors"][0]["typed_data"]
SECRETS = [PASS, NEW_PASS, KEYSTORES["password"], ABANDON, VECTOR["private_key_hex"], SOLANA_KEY]
SHOWS_SECRETS = {"mnemonic", "create", "export"}  # no other command prints a secret; none goes to standard error
SIG, SIGNER = (load("eip191.json")["signatures"][1][k] for k in ("signature_hex", "address"))  # of "Hello World"
SOL_SIG = SigningKey(bytes.fromhex(SOLANA_KEY)).sign(bytes(range(256))).signature.hex()
MAIL_SIG = Account.sign_typed_data(VECTOR["private_key_hex"], full_message=MAIL)
VERSION = tomllib.loads((Path(__file__).parents[2] / "pyproject.toml").read_text())["project"]["version"]
EXPORT = ["export", "vec", "--yes", "--passphrase-file"]


def child_env(env: dict[str, str] | None) -> dict[str, str]:
    return {k: v for k, v in os.environ.items() if k != "QEL_PASSPHRASE"} | (env or {})


def qel_run(*args: str, vault: Path | None = None, stdin: bytes = b"",
            env: dict[str, str] | None = None) -> tuple[int, str, str]:
    """`qel args` with no terminal (its own session); QEL_PASSPHRASE only from `env`."""
    p = subprocess.run([QEL, *args, *(["--vault", str(vault)] if vault else [])], input=stdin, capture_output=True,
                       env=child_env(env), start_new_session=True, timeout=60)
    code, out, err = p.returncode, p.stdout.decode(), p.stderr.decode()
    assert "Traceback" not in err
    assert not any(x in err or (x in out and args[:1] != [] and args[0] not in SHOWS_SECRETS) for x in SECRETS)
    return code, out, err


def qel_tty(*args: str, steps: list[tuple[str, str]], env: dict[str, str] | None = None) -> tuple[int, str]:
    """`qel args` on a pseudo-terminal that it controls: types each step's `typed` once `expected` is shown."""
    (fd, tty), screen = os.openpty(), b""
    p = subprocess.Popen([QEL, *args], stdin=tty, stdout=tty, stderr=tty, env=child_env(env), start_new_session=True,
                         preexec_fn=lambda: fcntl.ioctl(0, termios.TIOCSCTTY, 0))
    os.close(tty)
    try:
        for expected, typed in [*steps, ("\0", "")]:  # the last step reads to the end
            with contextlib.suppress(OSError):  # EIO: the child closed the terminal
                while expected.encode() not in screen:
                    assert select.select([fd], [], [], 60)[0], f"timed out: {screen!r}"
                    screen += os.read(fd, 4096)
            assert expected.encode() in screen or expected == "\0", f"ended before {expected!r}: {screen!r}"
            time.sleep(0.1)  # for the rest of the output to come before what is typed
            os.write(fd, typed.encode())
    finally:
        os.close(fd)
    return p.wait(), screen.decode().replace("\r\n", "\n")


def command_id(x: object) -> str:
    return x[0] if isinstance(x, list) and x and isinstance(x[0], str) else ""


@pytest.mark.parametrize(("args", "stdin", "message"), [
    (["export", "w", "--passphrase", PASS], b"",
     "qel: error: unrecognized arguments: --passphrase and 1 other word (not repeated)"),
    (["delete", "w", "--ye"], b"", "qel: error: unrecognized arguments: --ye"),
    (["list", PASS, PASS], b"", "qel: error: unrecognized arguments: 2 words (not repeated)"),
    (["address", "ethereum", "--index", str(2**31)], b"",  # hardened steps take indexes below 2^31 only
     "qel address: error: argument --index: must be a whole number from 0 to 2147483647: '2147483648'"),
    (["lsit"], b"", "qel: error: unknown command 'lsit'; did you mean 'list'?"),
    (["import", "w", "--chain", "solana"], b"", "qel import: error: --chain goes with --private-key"),
    (["sign-message", "w", "ethereum", "m", "--bip137"], b"", "qel sign-message: error: --bip137 goes with a bitcoin chain"),
    (["address", "w", "ton", "--index", "1"], b"",
     "qel address: error: --index goes with a recovery phrase; a stored wallet's address is the one `show` lists"),
    (["import", "w", "--private-key", "--index", "1"], b"", "qel import: error: --index does not go with --private-key"),
    (["import", "w", "--keystore", "f", "--private-key"], b"",
     "qel import: error: --keystore does not go with --private-key, --chain or --index"),
    (["import", "w", "--keystore-password-file", "f"], b"", "qel import: error: --keystore-password-file goes with --keystore"),
    (["export", "w", "--index", "1"], b"", "qel export: error: --keystore-password-file and --index go with --keystore"),
    (["sign-message", "w", "ethereum"], b"", "qel sign-message: error: one of the arguments MESSAGE --file is required"),
    (["verify", "ethereum", "00", "m"], b"", "qel verify: error: one of the arguments --address --public-key is required"),
    (["import", "w"], b"abandon " * 11 + b"abandon", "invalid mnemonic phrase: the checksum or the number of words is wrong"),
    (["import", "w"], ABANDON.replace("about", "About").encode(), "invalid mnemonic phrase: word 12 is not in the word list"),
    (["import", "w"], b" \n", "no recovery phrase given"),
    (["import", "w", "--private-key"], b"", "no private key given"),
    (["create", "vec", "--no-input"], b"", "wallet name already exists: 'vec'"),  # before any passphrase
    (["import", "ks", "--keystore", "-"], json.dumps(KEYSTORES["vectors"][0]["keystore"]).encode(),
     "no keystore password: use --keystore-password-file FILE"),
    (["verify", "ethereum", SIG, "Hello world", "--address", SIGNER, "--json"], b"", "the signature does not match"),
    (["sign-message", "vec", "ethereum", "--file", "/no/m"], b"", "cannot read '/no/m': No such file or directory"),
    (["sign-typed-data", "vec", "ethereum", "-"], b"\xff", "standard input is not UTF-8 text"),
    (["sign-typed-data", "vec", "ethereum"], b"{" * ((4 << 20) + 1), "standard input is larger than 4 MiB"),
    (["delete", "vec"], b"", "this needs confirmation: add --yes to go ahead without a prompt"),
    (["show", "\udcff"], b"", "an argument or input is not valid UTF-8 text"),
    (["export", "vec", "--yes"], b"", "no passphrase: use --passphrase-file FILE or set QEL_PASSPHRASE"),
    ([*EXPORT, "/dev/fd/0"], b"wrong\r\n", "wrong passphrase (or the wallet file is damaged)"),
    ([*EXPORT, "-"], f"{PASS}\n\n".encode(),  # one line end is dropped
     "wrong passphrase (or the wallet file is damaged); the passphrase read from standard input ends in white space"),
    ([*EXPORT, "/dev/zero"], b"", "passphrase file '/dev/zero' is larger than 4 KiB"),
    (["export", "vec", "--keystore", "--keystore-password-file", "/dev/null"], b"",
     "the keystore password is empty: a keystore is only as safe as its password"),
    (["change-passphrase", "vec", "--passphrase-file", "/dev/fd/0"], PASS.encode(),
     "no new passphrase: use --new-passphrase-file FILE or set QEL_NEW_PASSPHRASE"),
    # No passphrase is at hand: each check below comes before one is asked for.
    (["sign-message", "vec", "etherium", "m"], b"", "invalid input: unknown chain: 'etherium'. Use a chain name "
     "(ethereum, solana, bitcoin, ...) or CAIP-2 ID (eip155:1, ...); did you mean 'ethereum'?"),
    (["sign-tx", "vec", "ethereum", ""], b"", "no transaction given"),
    (["send", "vec", "solana", "0x0100"], b"", "invalid input: transaction: transaction too short for declared signature slots"),
    (["sign-tx", "vec", "ethereum", "0x02c0ff"], b"", "invalid input: transaction: trailing bytes after the RLP list"),
    (["sign-typed-data", "vec", "polygon", "-"], json.dumps(MAIL).encode(),
     "invalid input: typed data: domain.chainId 1 is not the chain id of polygon (137)"),
    (["import", "k", "--private-key"], b"0x" + b"ff" * 32 + b"\n",
     "invalid private key: not a secp256k1 key (32 bytes, not zero, below the group order)"),
    (["import", "k", "--keystore", "-"], json.dumps(MAIL).encode(),
     "invalid keystore: expected a JSON object with a \"crypto\" object"),
], ids=command_id)
def test_bad_input(scratch: Path, args: list[str], stdin: bytes, message: str) -> None:
    before = {p: p.read_bytes() for p in scratch.rglob("*") if p.is_file()}
    code, out, err = qel_run(*args, vault=scratch, stdin=stdin)
    mismatch = '{\n  "valid": false\n}\n' if "--json" in args else ""  # with --json a mismatch is also a document
    status, line = (2, message) if message.startswith("qel") else (1, "qel: error: " + message)  # "qel…": usage errors
    assert (code, out, err if status == 1 else err.splitlines()[-1] + "\n") == (status, mismatch, line + "\n")
    assert {p: p.read_bytes() for p in scratch.rglob("*") if p.is_file()} == before


def test_passphrase_files(scratch: Path, tmp_path: Path) -> None:
    """A passphrase file comes before the environment; one that others may read is used, with a warning."""
    (path := tmp_path / "pw").write_text(KEYSTORES["password"] + "\n")
    path.chmod(0o644)
    code, out, err = qel_run("import", "ks", "--keystore", "-", "--keystore-password-file", str(path), "--passphrase-file",
                             str(path), vault=scratch, stdin=json.dumps(KEYSTORES["vectors"][1]["keystore"]).encode(), env=ENV)
    assert (code, err.splitlines()[:2]) == (0, [f"warning: passphrase file '{path}' is readable by group or others; chmod 600 it"] * 2)
    assert KEYSTORES["address"] in out and qel.export_wallet("ks", KEYSTORES["password"], str(scratch))


@pytest.mark.parametrize(("args", "steps", "code", "end"), [
    (["import", "w"], [("Recovery phrase: ", ABANDON + "\n"), ("New passphrase: ", "first\n"),
                       ("Repeat the passphrase: ", "second\n")], 1, "\nqel: error: the passphrases do not match\n"),
    (["import", "w", "--no-input"], [], 1, "qel: error: no recovery phrase: pipe it to standard input\n"),
    (["export", "abandon"], [("Print the secret", "y\n"), ("Passphrase", PASS + "\n")], 0, f"unlocking…\n{ABANDON}\n"),
    (["delete", "vec"], [("[y/N] ", "n\n")], 1, "[y/N] n\nqel: error: cancelled\n"),
    (["delete", "vec"], [("[y/N] ", "\x04")], 1, "[y/N] \nqel: error: no input\n"),
    (["export", "abandon", "--yes"], [("Passphrase for 'abandon' (", "\x03")], 130, "): \n"),
    (["sign-message", "abandon", "ethereum", "m"], [("Passphrase for", PASS + "\n"), ("unlocking…", "\x03")], 130,
     "unlocking…\n^C\n"),
    (["send", "vec", "ethereum", ETH_UNSIGNED, "--rpc-url", "http://h/k3y"], [("[y/N] ", "y\n"),
     ("Passphrase", PASS + "\n"), ("sending to h…", ""), ("curl waits", "\x03")], 130,  # the host only: a path or query may hold a key
     "qel: interrupted: the transaction may have reached the node; look for it before sending it again\n"),
    (["export", "vec", "--keystore"], [("New keystore password: ", "a\n"), ("Repeat the keystore password: ", "b\n")],
     1, "qel: error: the keystore passwords do not match\n"),
], ids=command_id)
def test_terminal(scratch: Path, tmp_path: Path, args: list[str], steps: list[tuple[str, str]], code: int, end: str) -> None:
    (tmp_path / "curl").write_text("#!/bin/sh\ntrap '' INT\necho 'curl waits' > /dev/tty\nexec sleep 100\n")  # deaf to Ctrl-C
    (tmp_path / "curl").chmod(0o755)
    before = {p: p.read_bytes() for p in scratch.rglob("*") if p.is_file()}
    status, screen = qel_tty(*args, "--vault", str(scratch), steps=steps, env={"PATH": f"{tmp_path}:{os.environ['PATH']}"})
    assert (status, screen[-len(end):]) == (code, end)
    assert not any(typed.strip() in screen for prompt, typed in steps if "hrase" in prompt)  # never echoed
    assert "k3y" not in screen
    assert {p: p.read_bytes() for p in scratch.rglob("*") if p.is_file()} == before


def test_create_at_a_terminal_and_ctrl_c(vault: Path) -> None:
    """Ctrl-C while the new wallet is written: the wallet and its phrase (printed last) are still shown."""
    code, screen = qel_tty("create", "w", "--vault", str(vault), steps=[
        ("New passphrase: ", PASS + "\n"), ("Repeat the passphrase: ", PASS + "\n"), ("encrypting…", "\x03")])
    phrase = screen.rstrip().rsplit("\n", 1)[1].strip()
    assert (code, PASS in screen, screen.count(phrase), qel.export_wallet("w", PASS, str(vault))) == (130, False, 1, phrase)


def test_lookups_and_tables(scratch: Path) -> None:
    """A wallet is found by name or ID prefix, an exact name first (a wallet file may hold any name);
    names are shown escaped, and columns line up as a terminal shows them."""
    vec, abandon_id = qel.get_wallet("vec", str(scratch)), qel.get_wallet("abandon", str(scratch))["id"]
    shown = qel_run("show", vec["id"][:8], vault=scratch)[1]  # a key's accounts have no path
    assert ["eip155:1", "-", VECTOR["from_address"]] in [line.split() for line in shown.splitlines()]
    assert qel_run("show", vec["id"][:7], vault=scratch)[::2] == (1, f"qel: error: wallet not found: '{vec['id'][:7]}'\n")
    assert qel_run("rename", "vec", "v2", vault=scratch)[1] == f"renamed 'vec' ({vec['id'][:8]}) to 'v2'\n"
    qel.rename_wallet("v2", "\x1b[2J", str(scratch))
    qel.rename_wallet("abandon", "漢字" * 40, str(scratch))
    rows = qel_run("--vault", str(scratch), "list")[1].splitlines()  # common options also go first
    assert [row.split()[0] for row in rows[:3]] == ["NAME", "\\x1b[2J", "at1"] and vec["id"][:8] in rows[1]
    # The creation time ends each row after two spaces and has none of its own.
    assert len({output.width(row.rsplit("  ", 1)[0]) for row in rows[1:]}) == 1 and len(rows[1]) < 120
    assert json.loads(qel_run("delete", vec["id"][:8], "--yes", "--json", vault=scratch)[1]) == {**vec, "name": "\x1b[2J"}
    qel.rename_wallet("at1", abandon_id[:8], str(scratch))
    assert qel_run("show", abandon_id[:8], "--json", vault=scratch)[1].count(KNOWN[("evm", 1)]["address"]) == 1
    assert qel_run("list", vault=scratch / "empty")[1] == "no wallets\n"


def test_send(shared: Path) -> None:
    """What will be signed goes to standard error first; without a terminal only --yes goes ahead; each
    family's transaction goes to its own API."""
    from test_transactions import tron_transactions
    with RpcServer() as server, RpcServer() as tron:
        assert qel_run("send", "vec", "ethereum", ETH_UNSIGNED, "--rpc-url", server.url, vault=shared, env=ENV)[0] == 1
        run = qel_run("send", "vec", "ethereum", ETH_UNSIGNED, "--rpc-url", server.url, "--yes", vault=shared, env=ENV)
        tron.answer(b'{"result":true,"txid":"%s"}' % (b"ab" * 32))
        tron_run = qel_run("send", "abandon", "tron", tron_transactions()[0].hex(), "--rpc-url", tron.url, "--yes",
                           vault=shared, env=ENV)
    fields = {k: v for k, v in VECTOR["fields"].items() if k != "data_hex"} | {
        "chainId": 1, "data": bytes.fromhex(VECTOR["fields"]["data_hex"])}
    signed = Account.sign_transaction(fields, VECTOR["private_key_hex"]).raw_transaction.hex()
    assert run[:2] == (0, "0xhash\n") and [json.loads(r)["params"] for r in server.requests] == [["0x" + signed]]
    assert run[2].splitlines()[0] == "chain id                  1"
    assert "to                        0x96216849c49358B10257cb55b28eA603c874b05E" in run[2]
    assert tron_run[:2] == (0, "ab" * 32 + "\n") and tron.paths == ["/wallet/broadcasthex application/json"]
    assert "amount (sun)     1" in tron_run[2]


@pytest.mark.parametrize(("args", "closed", "message"), [
    (["list"], False, "cannot write to standard output: No space left on device"),
    (["create", "w"], False, "cannot write to standard output: No space left on device; wallet 'w' ({id}) was created: "
                             "`qel export {id}` shows its phrase"),
    (["create", "w"], True, "standard output is closed"),  # found before anything is created
], ids=["list-full", "create-full", "create-closed"])
def test_unwritable_output(vault: Path, args: list[str], closed: bool, message: str) -> None:
    with open("/dev/full", "wb") as full:  # also: `python -m qel` is the command
        p = subprocess.run([sys.executable, "-m", "qel", *args, "--vault", str(vault)], stdout=full,
                           stderr=subprocess.PIPE, env=child_env(ENV), preexec_fn=(lambda: os.close(1)) if closed else None)
    ids = [w["id"][:8] for w in qel.list_wallets(str(vault))]
    assert (p.returncode, p.stderr.decode()) == (1, f"qel: error: {message.format(id=ids[0] if ids else '')}\n")
    assert len(ids) == (args[0] == "create" and not closed)


@pytest.mark.parametrize(("name", "problem"), [
    ("", "is empty"),
    (" main", "begins or ends with white space"),
    ("main\u3000", "begins or ends with white space"),
    ("a\x1b[2Jb", "contains a control or other invisible character"),
    ("a\u200bb", "contains a control or other invisible character"),
    ("x" * 65, "is longer than 64 characters"),
    ("DeadBeef", "looks like a wallet ID (8 or more hex digits and dashes)"),
])
def test_refused_names(scratch: Path, name: str, problem: str) -> None:
    before = {p: p.read_bytes() for p in scratch.rglob("*") if p.is_file()}
    shown = output.cut(output.printable(name))
    for args in (["create", name], ["rename", "vec", name]):
        assert qel_run(*args, vault=scratch, env=ENV)[::2] == (1, f"qel: error: invalid wallet name '{shown}': it {problem}\n")
    assert {p: p.read_bytes() for p in scratch.rglob("*") if p.is_file()} == before


def test_notes_on_keys_generated_in_the_vault(scratch: Path) -> None:
    runs = [qel_run("import", "k1", "--private-key", vault=scratch, stdin=VECTOR["private_key_hex"].encode(), env=ENV),
            qel_run("import", "k2", "--private-key", "--chain", "solana", vault=scratch, stdin=f"0x{SOLANA_KEY}\n".encode(),
                    env=ENV)]
    assert KNOWN[("solana", 0)]["address"] in runs[1][1]
    ids = [qel.get_wallet(n, str(scratch))["id"][:8] for n in ("k1", "k2")]
    assert [err for code, out, err in runs] == [
        f"note: the evm, bitcoin, cosmos, tron accounts come from the given key; the solana, ton accounts from a key "
        f"generated in this vault: `qel export {ids[0]}` is its only backup\n",
        f"note: the solana, ton accounts come from the given key; the evm, bitcoin, cosmos, tron accounts from a key "
        f"generated in this vault: `qel export {ids[1]}` is its only backup\n"]


def test_the_passphrase_does_not_reach_curl(shared: Path, tmp_path: Path) -> None:
    (tmp_path / "curl").write_text(f"#!/bin/sh\nenv > {tmp_path}/env\necho '{{\"result\":\"0xhash\"}}'\n")
    (tmp_path / "curl").chmod(0o755)
    env = ENV | {"QEL_NEW_PASSPHRASE": NEW_PASS, "PATH": f"{tmp_path}:{os.environ['PATH']}"}
    run = qel_run("send", "vec", "ethereum", ETH_UNSIGNED, "--rpc-url", "http://h/", "--yes", vault=shared, env=env)
    assert run[:2] == (0, "0xhash\n") and "QEL_" not in (tmp_path / "env").read_text()


@pytest.mark.parametrize(("args", "stdin", "check"), [
    (["--version"], b"", f"qel {VERSION}\n"),
    ([], b"", lambda out, vault: out.startswith("usage: qel") and "public-key" in out),
    # The accounts `show` lists are the ones that act: 'at1' was imported at index 1.
    (["sign-message", "at1", "ethereum", "m"], b"", lambda out, vault: Account.recover_message(
     encode_defunct(text="m"), signature=out.split()[1]) == KNOWN[("evm", 1)]["address"]),
    (["export", "at1", "--keystore", "--keystore-password-file", "-"], b"ks\n",
     lambda out, vault: Account.decrypt(out, "ks").hex() == KNOWN[("evm", 1)]["private_key_hex"]),
    (["public-key", "at1", "ton"], b"", KNOWN[("ton", 1)]["public_key_hex"] + "\n"),
    (["export", "abandon", "--yes", "--passphrase-file", "-"], f"{PASS}\r\n".encode(), ABANDON + "\n"),  # one line end
    (["address", "at1", "eip155:137"], b"", KNOWN[("evm", 1)]["address"] + "\n"),  # no passphrase
    (["sign-message", "abandon", "bitcoin", "m", "--bip137"], b"", lambda out, vault: qel.verify_message(
     "bitcoin", "m", out.strip(), address=KNOWN[("bitcoin", 0)]["address"])),
    (["mnemonic", "--json"], b"", lambda out, vault: len(json.loads(out)["mnemonic"].split(" ")) == 12),
    (["create", "w", "--words", "24", "--json"], b"", lambda out, vault: len((w := json.loads(out)).pop("mnemonic")
     .split()) == 24 and w == qel.get_wallet("w", str(vault))),
    (["import", "phrase", "--index", "1"], ABANDON.encode(), lambda out, vault: KNOWN[("ton", 1)]["address"] in out),
    (["address", "ton", "--index", "1"], ABANDON.replace(" ", " \t ").encode() + b"\n\n", KNOWN[("ton", 1)]["address"] + "\n"),
    (["verify", "ethereum", SIG, "Hello World", "--address", SIGNER], b"", "the signature matches\n"),
    (["sign-message", "abandon", "solana", "--file", "-"], bytes(range(256)), f"signature    {SOL_SIG}\nrecovery id  none\n"),
    (["sign-typed-data", "vec", "ethereum", "/dev/fd/0"], json.dumps(MAIL).encode(),
     f"signature  {bytes(MAIL_SIG.signature).hex()}\nv          {MAIL_SIG.v}\n"),
    (["sign-tx", "vec", "eip155:1337", "--json", "--signature-only"], f"0x{VECTOR['unsigned_hex']}\n".encode(),
     json.dumps({"signature": VECTOR["signature_rsv_hex"], "recovery_id": VECTOR["y_parity"]}, indent=2) + "\n"),
    (["sign-tx", "vec", "eip155:1337"], f"0x{VECTOR['unsigned_hex']}\n".encode(),
     f"signed tx  0x{VECTOR['signed_hex']}\ntx hash    0x{VECTOR['tx_hash_hex']}\n"),
    (["address", "eip155:1337"], ABANDON.encode(), KNOWN[("evm", 0)]["address"] + "\n"),
    (["change-passphrase", "vec", "--new-passphrase-file", "/dev/fd/0"], f"{NEW_PASS}\n".encode(),
     lambda out, vault: VECTOR["private_key_hex"] in qel.export_wallet("vec", NEW_PASS, str(vault))),
], ids=command_id)
def test_commands(scratch: Path, args: list[str], stdin: bytes, check: str | Callable[[str, Path], bool]) -> None:
    code, out, err = qel_run(*args, vault=scratch, stdin=stdin, env=ENV)
    assert (code, err) == (0, "")
    assert out == check if isinstance(check, str) else check(out, scratch)
