"""sign_and_send against a stand-in JSON-RPC endpoint on 127.0.0.1."""

from __future__ import annotations

import base64
import json
import os
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

import pytest
import rlp
from eth_account import Account
from nacl.signing import VerifyKey
from solders.hash import Hash
from solders.instruction import AccountMeta, Instruction
from solders.message import Message, MessageV0, to_bytes_versioned
from solders.address_lookup_table_account import AddressLookupTableAccount
from solders.pubkey import Pubkey
from solders.transaction import VersionedTransaction

import qel
from _support import ABANDON, RpcServer, b58decode, known_accounts, load

KNOWN = known_accounts()
PASS = "send"
EIP1559 = load("eip1559.json")["vectors"][0]
UNSIGNED = EIP1559["unsigned_hex"]
SOLANA_PAYER = Pubkey.from_string(KNOWN[("solana", 0)]["address"])


def solana_message(version: str) -> bytes:
    """A message with the wallet as fee payer, laid out by an independent encoder."""
    other, table = Pubkey.new_unique(), Pubkey.new_unique()
    ix = Instruction(Pubkey.new_unique(), b"\x02\x00\x00\x00", [AccountMeta(SOLANA_PAYER, True, True),
                                                                AccountMeta(other, False, True)])
    if version == "legacy":
        return bytes(Message.new_with_blockhash([ix], SOLANA_PAYER, Hash.new_unique()))
    lookup = AddressLookupTableAccount(table, [other])
    return to_bytes_versioned(MessageV0.try_compile(SOLANA_PAYER, [ix], [lookup], Hash.new_unique()))


@pytest.fixture(scope="module")
def vault(tmp_path_factory: pytest.TempPathFactory) -> str:
    root = str(tmp_path_factory.mktemp("broadcast") / "vault")
    qel.import_wallet_mnemonic("w", ABANDON, passphrase=PASS, vault_path_opt=root)
    return root


@pytest.fixture
def home(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    monkeypatch.setenv("HOME", str(tmp_path))
    return tmp_path


def send(vault: str, chain: str, tx: str, **kw: object) -> dict:
    return qel.sign_and_send("w", chain, tx, passphrase=PASS, vault_path_opt=vault, **kw)


def test_evm_request_body_and_signer(vault: str) -> None:
    with RpcServer() as server:
        assert send(vault, "ethereum", UNSIGNED, rpc_url=server.url) == {"tx_hash": "0xhash"}
        assert send(vault, "ethereum", "0x" + UNSIGNED, rpc_url=server.url) == {"tx_hash": "0xhash"}
    first, second = server.requests
    assert first == second
    body = json.loads(first)
    assert first.decode() == json.dumps(
        {"id": 1, "jsonrpc": "2.0", "method": "eth_sendRawTransaction", "params": [body["params"][0]]},
        separators=(",", ":"),
    )
    raw = body["params"][0]
    assert raw.startswith("0x02") and raw == raw.lower()
    assert Account.recover_transaction(raw) == KNOWN[("evm", 0)]["address"]


@pytest.mark.parametrize("version", ["legacy", "v0"])
def test_solana_request_body(vault: str, version: str) -> None:
    message = solana_message(version)
    tx = b"\x01" + bytes(64) + message
    with RpcServer() as server:
        server.reply = b'{"jsonrpc":"2.0","result":"5VERYsig","id":1}'
        assert send(vault, "solana", tx.hex(), rpc_url=server.url) == {"tx_hash": "5VERYsig"}
    body = server.requests[0].decode()
    encoded = json.loads(body)["params"][0]
    assert body == ('{"id":1,"jsonrpc":"2.0","method":"sendTransaction","params":["%s",{"encoding":"base64"}]}'
                    % encoded)
    signed = VersionedTransaction.from_bytes(base64.b64decode(encoded, validate=True))
    assert to_bytes_versioned(signed.message) == message
    assert signed.verify_with_results() == [True]
    VerifyKey(bytes(SOLANA_PAYER)).verify(message, bytes(signed.signatures[0]))


@pytest.mark.parametrize(
    ("status", "reply", "message"),
    [
        (200, b'{"jsonrpc":"2.0","id":1,"error":{"message":"nonce too low","code":-32000}}',
         'broadcast failed: RPC error: {"code":-32000,"message":"nonce too low"}'),
        (200, b'{"jsonrpc":"2.0","id":1,"result":null}',
         """broadcast failed: no 'result' in response: {"jsonrpc":"2.0","id":1,"result":null}"""),
        (200, b'{"result":["0x1"]}', """broadcast failed: no 'result' in response: {"result":["0x1"]}"""),
        (500, b"{}", "broadcast failed: curl: (22) The requested URL returned error: 500\n"),
    ],
)
def test_replies(vault: str, status: int, reply: bytes, message: str) -> None:
    with RpcServer() as server:
        server.status, server.reply = status, reply
        with pytest.raises(RuntimeError) as e:
            send(vault, "ethereum", UNSIGNED, rpc_url=server.url)
    assert str(e.value) == message


def test_hostile_replies(vault: str) -> None:
    with RpcServer() as server:
        server.reply, server.content_type = b"<html><body>Bad gateway</body></html>", "text/html"
        with pytest.raises(RuntimeError, match="^JSON error: "):
            send(vault, "ethereum", UNSIGNED, rpc_url=server.url)
        server.reply = b'{"result":"\xff\xfe ok"}'
        assert send(vault, "ethereum", UNSIGNED, rpc_url=server.url) == {"tx_hash": "\ufffd\ufffd ok"}
        big = "0x" + "ab" * 3_000_000
        server.reply = json.dumps({"result": big}).encode()
        assert send(vault, "ethereum", UNSIGNED, rpc_url=server.url) == {"tx_hash": big}
        server.reply = b"[" * 100_000
        with pytest.raises(RuntimeError, match="^JSON error: "):
            send(vault, "ethereum", UNSIGNED, rpc_url=server.url)


def test_endpoint_choice(vault: str, home: Path) -> None:
    with RpcServer() as configured, RpcServer() as explicit:
        (home / ".qel").mkdir()
        (home / ".qel" / "config.json").write_text(
            json.dumps({"vault_path": "/somewhere", "rpc": {"eip155:1": configured.url}}))
        send(vault, "ethereum", UNSIGNED, rpc_url=explicit.url)
        assert (len(configured.requests), len(explicit.requests)) == (0, 1)
        send(vault, "eip155:1", UNSIGNED)
        assert (len(configured.requests), len(explicit.requests)) == (1, 1)


def test_failures_before_and_after_unlock(vault: str, monkeypatch: pytest.MonkeyPatch, tmp_path: Path) -> None:
    with RpcServer() as server:
        for chain in ("cosmos", "bitcoin", "tron", "ton"):
            with pytest.raises(RuntimeError) as e:
                send(vault, chain, "00", rpc_url=server.url)
            assert str(e.value) == f"invalid transaction: encode_signed_transaction not implemented for {chain}"
        with pytest.raises(RuntimeError) as e:
            qel.sign_and_send("w", "ethereum", "0x0", passphrase="wrong", vault_path_opt=vault, rpc_url=server.url)
        assert str(e.value) == "invalid input: invalid hex transaction: Odd number of digits"
        with pytest.raises(RuntimeError) as e:
            qel.sign_and_send("w", "ethereum", UNSIGNED, passphrase="wrong", vault_path_opt=vault, rpc_url=server.url)
        assert str(e.value) == "decryption failed: aead::Error"
        assert server.requests == []

    monkeypatch.setenv("PATH", str(tmp_path))
    with pytest.raises(RuntimeError) as e:
        send(vault, "ethereum", UNSIGNED, rpc_url="http://127.0.0.1:9")
    assert str(e.value) == "broadcast failed: failed to run curl: No such file or directory (os error 2)"


def test_empty_rpc_url_fails_in_curl(vault: str) -> None:
    with pytest.raises(RuntimeError, match=r"^broadcast failed: curl: \("):
        send(vault, "ethereum", UNSIGNED, rpc_url="")


def _evm_forms() -> dict[str, bytes]:
    unsigned = bytes.fromhex(UNSIGNED)
    payload = b"".join(rlp.encode(item) for item in rlp.decode(unsigned[1:]))
    return {
        "trailing": unsigned + b"\x00",
        "long_header": b"\x02\xfa" + len(payload).to_bytes(3, "big") + payload,
        "byte_string": b"\x02" + rlp.encode(payload),
    }


EVM_FORMS = _evm_forms()


# Each of these would go out with a signature over other bytes than a node
# reads, or not at all; the wrong passphrase shows the wallet was never opened.
@pytest.mark.parametrize(
    ("chain", "tx", "text"),
    [
        ("ethereum", EVM_FORMS["trailing"].hex(), "trailing bytes after the RLP list"),
        ("ethereum", EVM_FORMS["long_header"].hex(), "non-canonical length"),
        ("ethereum", EVM_FORMS["byte_string"].hex(), "expected an RLP list after the type byte"),
        ("ethereum", "f8", "unsupported transaction type (expected 0x01 or 0x02)"),
        ("solana", (b"\x01" + bytes(64) + solana_message("legacy") + b"\x00").hex(),
         "trailing bytes after the message"),
        ("solana", "00" + "11" * 10, "transaction has no signature slots"),
    ],
)
def test_unsendable_transactions_refused_before_unlocking(vault: str, chain: str, tx: str, text: str) -> None:
    with pytest.raises(RuntimeError) as e:
        qel.sign_and_send("w", chain, tx, passphrase="wrong", vault_path_opt=vault, rpc_url="http://127.0.0.1:9/")
    assert str(e.value) == "invalid input: invalid hex transaction: " + text


def test_endpoints_curl_would_misread_never_reach_it(vault: str, home: Path, tmp_path: Path,
                                                   monkeypatch: pytest.MonkeyPatch) -> None:
    argv_log = tmp_path / "argv"
    stand_in = tmp_path / "bin" / "curl"
    stand_in.parent.mkdir()
    stand_in.write_text(f"#!/bin/sh\nprintf '%s\\n' \"$@\" >> '{argv_log}'\nprintf '{{\"result\":\"0xstub\"}}'\n")
    stand_in.chmod(0o755)
    monkeypatch.setenv("PATH", f"{stand_in.parent}{os.pathsep}{os.environ['PATH']}")
    (home / ".qel").mkdir()
    (home / ".qel" / "config.json").write_text(
        json.dumps({"vault_path": "/somewhere", "rpc": {"eip155:1": "-K/etc/passwd"}}))

    # A given endpoint is refused before the wallet is opened, a configured one
    # only once it is looked up.
    for url, passphrase, why in [
        ("-K/some/file", "wrong", "begins with '-'"),
        ("http://127.0.0.1:9/{a,b,c}[1-5]", "wrong", "contains '{'"),
        (None, PASS, "begins with '-'"),
    ]:
        with pytest.raises(RuntimeError) as e:
            qel.sign_and_send("w", "ethereum", UNSIGNED, passphrase=passphrase, rpc_url=url, vault_path_opt=vault)
        assert str(e.value) == f"broadcast failed: invalid RPC URL: '{url or '-K/etc/passwd'}' {why}"
    assert not argv_log.exists()

    # The stand-in does run, with the argument vector unchanged, for an endpoint that is fine.
    assert send(vault, "ethereum", UNSIGNED, rpc_url="http://[::1]:9/") == {"tx_hash": "0xstub"}
    args = argv_log.read_text().splitlines()
    assert args[:7] == ["-fsSL", "-X", "POST", "-H", "Content-Type: application/json", "-d", args[6]]
    assert json.loads(args[6])["method"] == "eth_sendRawTransaction" and args[7:] == ["http://[::1]:9/"]


def _has_ipv6_loopback() -> bool:
    try:
        with socket.socket(socket.AF_INET6) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


@pytest.mark.skipif(not _has_ipv6_loopback(), reason="no IPv6 loopback (::1) on this machine")
def test_ipv6_loopback_endpoint(vault: str) -> None:
    with RpcServer("::1") as server:
        assert server.url.startswith("http://[::1]:")
        assert send(vault, "ethereum", UNSIGNED, rpc_url=server.url + "/") == {"tx_hash": "0xhash"}
    assert len(server.requests) == 1


# Runs in a process of its own so that the SIGINT cannot reach pytest; it
# reports how the call ended and which children it still has.
_INTERRUPTED_CALL = r"""
import json, os, sys, time
import qel
vault, url, tx = sys.argv[1:4]
try:
    qel.sign_and_send("w", "ethereum", tx, passphrase="send", rpc_url=url, vault_path_opt=vault)
    outcome = "returned"
except BaseException as e:
    outcome = type(e).__name__
ended = time.time()
children = []
for pid in filter(str.isdigit, os.listdir("/proc")):
    try:
        with open(f"/proc/{pid}/stat") as f:
            stat = f.read()
    except OSError:
        continue
    if int(stat.rsplit(")", 1)[1].split()[1]) == os.getpid():
        children.append(stat)
print(json.dumps({"outcome": outcome, "ended": ended, "children": children}))
"""


def test_sigint_while_waiting_ends_the_call_and_curl(vault: str) -> None:
    with RpcServer() as server:
        server.silent = True
        call = subprocess.Popen([sys.executable, "-c", _INTERRUPTED_CALL, vault, server.url, UNSIGNED],
                                stdout=subprocess.PIPE, text=True)
        try:
            deadline = time.monotonic() + 60
            while not server.requests and time.monotonic() < deadline and call.poll() is None:
                time.sleep(0.05)
            assert server.requests, "the request never reached the endpoint"
            sent = time.time()
            call.send_signal(signal.SIGINT)
            out, _ = call.communicate(timeout=30)
        finally:
            call.kill()
            call.wait()
    report = json.loads(out)
    assert report["outcome"] == "KeyboardInterrupt"
    assert report["ended"] - sent < 1.0
    assert report["children"] == []
