"""sign_and_send through the real curl against a stand-in JSON-RPC endpoint on 127.0.0.1."""

from __future__ import annotations

import base64
import json
import os
import shutil
from pathlib import Path

import pytest
from solders.address_lookup_table_account import AddressLookupTableAccount
from solders.hash import Hash
from solders.instruction import AccountMeta, Instruction
from solders.message import MessageV0, to_bytes_versioned
from solders.pubkey import Pubkey
from solders.transaction import VersionedTransaction

import qel
from _support import ETH_UNSIGNED, KNOWN, PASS, VECTOR, RpcServer, on_chain

UNSIGNED = ETH_UNSIGNED


def send(vault: Path, chain: str, tx: str, **kw: object) -> dict:
    return qel.sign_and_send("abandon", chain, tx, **{"passphrase": PASS, "vault_path_opt": str(vault), **kw})


def test_evm_endpoints_request_body_and_failures(shared: Path) -> None:
    with RpcServer() as configured, RpcServer() as given:
        config = Path(os.environ["HOME"]) / ".qel" / "config.json"
        config.parent.mkdir()
        config.write_text(json.dumps({"vault_path": "/somewhere",
                                      "rpc": {"eip155:1": configured.url, "eip155:137": "file:///etc/passwd"}}))
        assert send(shared, "ethereum", UNSIGNED, rpc_url=given.url) == {"tx_hash": "0xhash"}
        assert (len(configured.requests), len(given.requests)) == (0, 1)
        assert send(shared, "eip155:1", "0x" + UNSIGNED) == {"tx_hash": "0xhash"}
        assert (len(configured.requests), len(given.requests)) == (1, 1)
        # A configured endpoint is checked before the wallet is unlocked.
        with pytest.raises(RuntimeError) as e:
            send(shared, "polygon", on_chain(VECTOR["unsigned_hex"], 137), passphrase="wrong")
        assert str(e.value) == "broadcast failed: invalid RPC URL: 'file:///etc/passwd' is not an http:// or https:// URL"
        # An endpoint's HTTP error comes back with curl's text; a wrong passphrase sends nothing.
        given.answer(b"{}", 500)
        with pytest.raises(RuntimeError) as e:
            send(shared, "ethereum", UNSIGNED, rpc_url=given.url)
        assert str(e.value) == "broadcast failed: curl: (22) The requested URL returned error: 500\n"
        with pytest.raises(RuntimeError, match="^decryption failed: aead::Error$"):
            send(shared, "ethereum", UNSIGNED, passphrase="wrong", rpc_url=given.url)
    assert configured.requests == given.requests[:1] and len(given.requests) == 2
    raw = json.loads(given.requests[0])["params"][0]
    assert given.requests[0].decode() == \
        '{"id":1,"jsonrpc":"2.0","method":"eth_sendRawTransaction","params":["%s"]}' % raw


def test_solana_request_body(shared: Path) -> None:
    """The wallet as fee payer of a versioned message, with a lookup table, laid out by an independent encoder."""
    payer, other = Pubkey.from_string(KNOWN[("solana", 0)]["address"]), Pubkey.new_unique()
    ix = Instruction(Pubkey.new_unique(), b"\x02\x00\x00\x00", [AccountMeta(payer, True, True),
                                                                AccountMeta(other, False, True)])
    lookup = AddressLookupTableAccount(Pubkey.new_unique(), [other])
    message = to_bytes_versioned(MessageV0.try_compile(payer, [ix], [lookup], Hash.new_unique()))
    with RpcServer() as server:
        server.answer(b'{"jsonrpc":"2.0","result":"5VERYsig","id":1}')
        assert send(shared, "solana", (b"\x01" + bytes(64) + message).hex(), rpc_url=server.url) == \
            {"tx_hash": "5VERYsig"}
    body = server.requests[0].decode()
    encoded = json.loads(body)["params"][0]
    assert body == '{"id":1,"jsonrpc":"2.0","method":"sendTransaction","params":["%s",{"encoding":"base64"}]}' % encoded
    signed = VersionedTransaction.from_bytes(base64.b64decode(encoded, validate=True))
    assert to_bytes_versioned(signed.message) == message and signed.verify_with_results() == [True]


def test_endpoint_and_body_stay_out_of_the_process_list(shared: Path, tmp_path: Path,
                                                        monkeypatch: pytest.MonkeyPatch) -> None:
    """What every local user can read of curl's command line, recorded by a wrapper that then runs curl."""
    real = shutil.which("curl")
    wrapper = tmp_path / "curl"
    wrapper.write_text(f'#!/bin/sh\ntr "\\0" " " < /proc/$$/cmdline > {tmp_path}/cmdline\nexec {real} "$@"\n')
    wrapper.chmod(0o755)
    monkeypatch.setenv("PATH", f"{tmp_path}:{os.environ['PATH']}")
    with RpcServer() as server:
        assert send(shared, "ethereum", UNSIGNED, rpc_url=server.url + "/v1/API-KEY") == {"tx_hash": "0xhash"}
        assert len(server.requests) == 1
    assert (tmp_path / "cmdline").read_text() == f"/bin/sh {wrapper} -K - "


def test_redirects_are_few_and_only_to_http(shared: Path) -> None:
    with RpcServer() as server:
        for location, error, posts in [
            ("/again", "curl: (47) Maximum (3) redirects followed\n", 4),  # a loop is posted to 4 times, not 51
            ("file:///etc/passwd", 'curl: (1) Protocol "file" not supported or disabled in libcurl\n', 1),
        ]:
            server.answer(b"", 307, {"Location": location})
            before = len(server.requests)
            with pytest.raises(RuntimeError) as e:
                send(shared, "ethereum", UNSIGNED, rpc_url=server.url)
            assert (str(e.value), len(server.requests) - before) == ("broadcast failed: " + error, posts)


def test_a_configuration_that_is_not_used_is_named_once(shared: Path, capfd: pytest.CaptureFixture[str]) -> None:
    config = Path(os.environ["HOME"]) / ".qel" / "config.json"
    config.parent.mkdir()
    config.write_text(json.dumps({"rpc": {"eip155:1": "https://private.example"}}))  # no vault_path: not used
    with RpcServer() as server:
        assert send(shared, "ethereum", UNSIGNED, rpc_url=server.url) == {"tx_hash": "0xhash"}
    with pytest.raises(RuntimeError, match="^decryption failed"):  # the built-in endpoint is not reached
        send(shared, "ethereum", UNSIGNED, passphrase="wrong")
    assert capfd.readouterr().err == f"warning: ignoring {config}: missing field `vault_path`\n"
