"""sign_and_send through the real curl against a stand-in JSON-RPC endpoint on 127.0.0.1."""

from __future__ import annotations

import json
import os
from pathlib import Path

import pytest

import qel
from _support import ETH_UNSIGNED as UNSIGNED, PASS, VECTOR, RpcServer, on_chain

EVM_BODY = '{"id":1,"jsonrpc":"2.0","method":"eth_sendRawTransaction","params":["%s"]}'


def send(vault: Path, chain: str, tx: str, **kw: object) -> dict:
    return qel.sign_and_send("abandon", chain, tx, **{"passphrase": PASS, "vault_path_opt": str(vault), **kw})


def test_endpoints_given_or_configured(shared: Path) -> None:
    with RpcServer() as configured, RpcServer() as given:
        config = Path(os.environ["HOME"]) / ".qel" / "config.json"
        config.parent.mkdir()
        config.write_text(json.dumps({"vault_path": "/somewhere", "rpc": {
            "eip155:1": configured.url, "eip155:5": configured.url + "/goerli", "eip155:137": "file:///etc/passwd"}}))
        assert send(shared, "ethereum", UNSIGNED, rpc_url=given.url) == {"tx_hash": "0xhash"}
        assert send(shared, "eip155:1", "0x" + UNSIGNED) == {"tx_hash": "0xhash"}
        assert qel.broadcast_transaction("eip155:5", "0x01") == {"tx_hash": "0xhash"}
        for call, message in [
            (lambda: qel.broadcast_transaction("eip155:6", "0x01"), "no RPC endpoint configured for eip155:6"),
            # A configured endpoint is checked before the wallet is unlocked.
            (lambda: send(shared, "polygon", on_chain(VECTOR["unsigned_hex"], 137), passphrase="wrong"),
             "invalid RPC URL: 'file:///etc/passwd' is not an http:// or https:// URL"),
        ]:
            with pytest.raises(RuntimeError) as e:
                call()
            assert str(e.value) == "broadcast failed: " + message
        with pytest.raises(RuntimeError, match="^decryption failed: aead::Error$"):  # and sends nothing
            send(shared, "ethereum", UNSIGNED, passphrase="wrong", rpc_url=given.url)
    signed = qel.sign_and_encode("abandon", "ethereum", UNSIGNED, passphrase=PASS, vault_path_opt=str(shared))["signed_tx"]
    body = (EVM_BODY % signed).encode()
    assert (given.requests, configured.requests) == ([body], [body, (EVM_BODY % "0x01").encode()])
    assert configured.paths == ["/ application/json", "/goerli application/json"]


@pytest.mark.parametrize("status,headers,error,posts", [
    (500, {}, "curl: (22) The requested URL returned error: 500\n", 1),
    (307, {"Location": "/again"}, "curl: (47) Maximum (3) redirects followed\n", 4),  # a loop: 4 posts, not 51
    (307, {"Location": "file:///etc/passwd"}, 'curl: (1) Protocol "file" not supported or disabled in libcurl\n', 1),
])
def test_http_errors_and_redirects(shared: Path, status: int, headers: dict, error: str, posts: int) -> None:
    with RpcServer() as server:
        server.answer(b"{}", status, headers)
        with pytest.raises(RuntimeError) as e:
            send(shared, "ethereum", UNSIGNED, rpc_url=server.url)
        assert (str(e.value), len(server.requests)) == ("broadcast failed: " + error, posts)


def test_a_configuration_that_is_not_used_is_named_once(shared: Path, capfd: pytest.CaptureFixture[str]) -> None:
    config = Path(os.environ["HOME"]) / ".qel" / "config.json"
    config.parent.mkdir()
    config.write_text(json.dumps({"rpc": {"eip155:1": "https://private.example"}}))  # no vault_path: not used
    with RpcServer() as server:
        assert send(shared, "ethereum", UNSIGNED, rpc_url=server.url) == {"tx_hash": "0xhash"}
    with pytest.raises(RuntimeError, match="^decryption failed"):  # the built-in endpoint is not reached
        send(shared, "ethereum", UNSIGNED, passphrase="wrong")
    assert capfd.readouterr().err == f"warning: ignoring {config}: missing field `vault_path`\n"
