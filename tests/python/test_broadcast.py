"""sign_and_send through the real curl against a stand-in JSON-RPC endpoint on 127.0.0.1."""

from __future__ import annotations

import base64
import json
import os
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
                                      "rpc": {"eip155:1": configured.url, "eip155:137": "-K/etc/passwd"}}))
        assert send(shared, "ethereum", UNSIGNED, rpc_url=given.url) == {"tx_hash": "0xhash"}
        assert (len(configured.requests), len(given.requests)) == (0, 1)
        assert send(shared, "eip155:1", "0x" + UNSIGNED) == {"tx_hash": "0xhash"}
        assert (len(configured.requests), len(given.requests)) == (1, 1)
        # A configured endpoint is checked once it is looked up.
        with pytest.raises(RuntimeError) as e:
            send(shared, "polygon", on_chain(VECTOR["unsigned_hex"], 137))
        assert str(e.value) == "broadcast failed: invalid RPC URL: '-K/etc/passwd' begins with '-'"
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
