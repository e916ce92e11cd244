"""sign_and_send against a stand-in JSON-RPC endpoint on 127.0.0.1."""

from __future__ import annotations

import base64
import json
from pathlib import Path

import pytest
from eth_account import Account
from nacl.signing import VerifyKey

import qel
from _support import ABANDON, RpcServer, b58decode, known_accounts, load

KNOWN = known_accounts()
PASS = "send"
EIP1559 = load("eip1559.json")["vectors"][0]
UNSIGNED = EIP1559["unsigned_hex"]


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


def test_solana_request_body(vault: str) -> None:
    message = b"\x01\x00\x01\x03" + bytes(range(96))
    tx = b"\x02" + bytes(64) + b"\x07" * 64 + message
    with RpcServer() as server:
        server.reply = b'{"jsonrpc":"2.0","result":"5VERYsig","id":1}'
        assert send(vault, "solana", tx.hex(), rpc_url=server.url) == {"tx_hash": "5VERYsig"}
    body = server.requests[0].decode()
    encoded = json.loads(body)["params"][0]
    assert body == ('{"id":1,"jsonrpc":"2.0","method":"sendTransaction","params":["%s",{"encoding":"base64"}]}'
                    % encoded)
    signed = base64.b64decode(encoded, validate=True)
    assert signed[0] == 2 and signed[65:] == tx[65:]
    VerifyKey(b58decode(KNOWN[("solana", 0)]["address"])).verify(message, signed[1:65])


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
        with pytest.raises(RuntimeError) as e:
            send(vault, "ethereum", "f8", rpc_url=server.url)
        assert str(e.value) == "invalid transaction: unsupported transaction type (expected 0x01 or 0x02)"
        with pytest.raises(RuntimeError) as e:
            send(vault, "solana", "00" + "11" * 10, rpc_url=server.url)
        assert str(e.value) == "invalid transaction: transaction has no signature slots"
        assert server.requests == []

    monkeypatch.setenv("PATH", str(tmp_path))
    with pytest.raises(RuntimeError) as e:
        send(vault, "ethereum", UNSIGNED, rpc_url="http://127.0.0.1:9")
    assert str(e.value) == "broadcast failed: failed to run curl: No such file or directory (os error 2)"


def test_empty_rpc_url_fails_in_curl(vault: str) -> None:
    with pytest.raises(RuntimeError, match=r"^broadcast failed: curl: \("):
        send(vault, "ethereum", UNSIGNED, rpc_url="")
