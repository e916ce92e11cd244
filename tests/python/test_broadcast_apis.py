"""broadcast_transaction through the real curl against a stand-in of each chain's API on 127.0.0.1:
the exact path, content type and body of each request, and each API's success and error replies."""

from __future__ import annotations

import base64
import json
import os
from pathlib import Path

import pytest
from pytoniq_core import begin_cell

import qel
from _support import RpcServer

TXID = "ab" * 32
BOC = begin_cell().store_uint(0x88, 8).store_ref(begin_cell().store_uint(7, 5).end_cell()).end_cell()
BOC_B64 = base64.b64encode(BOC.to_boc()).decode()
TRON_REFUSAL = {"code": "SIGERROR", "txid": TXID, "message": b"validate signature error".hex()}
NOISY = "\x1b[2J" + "x" * 400

# chain, signed_tx, (status, reply), "path content-type", request body, result or "broadcast failed: ..." text
CASES = [
    ("ethereum", "0x02c0", (200, '{"jsonrpc":"2.0","id":1,"result":"0xhash"}'), "/ application/json",
     '{"id":1,"jsonrpc":"2.0","method":"eth_sendRawTransaction","params":["0x02c0"]}', "0xhash"),
    ("eip155:1", "02c0", (500, '{"jsonrpc":"2.0","id":1,"error":{"code":-32000,"message":"nonce too low"}}'),
     "/ application/json", '{"id":1,"jsonrpc":"2.0","method":"eth_sendRawTransaction","params":["0x02c0"]}',
     "broadcast failed: RPC error: nonce too low"),
    ("solana", "AQID", (200, '{"jsonrpc":"2.0","id":1,"result":"5sig"}'), "/ application/json",
     '{"id":1,"jsonrpc":"2.0","method":"sendTransaction","params":["AQID",{"encoding":"base64"}]}', "5sig"),
    ("bitcoin", "0200ff", (200, TXID), "/tx text/plain", "0200ff", TXID),
    ("bitcoin", "0200ff", (400, 'sendrawtransaction RPC error: {"code":-26,"message":"min relay fee not met"}'),
     "/tx text/plain", "0200ff", 'broadcast failed: node refused the transaction: sendrawtransaction RPC error: '
                                 '{"code":-26,"message":"min relay fee not met"}'),
    ("bitcoin", "0200ff", (400, NOISY), "/tx text/plain", "0200ff",
     "broadcast failed: node refused the transaction: \\x1b[2J" + "x" * 296 + "\u2026"),
    ("bitcoin", "0200ff", (200, "<html>"), "/tx text/plain", "0200ff",
     "broadcast failed: unexpected reply (expected a txid): <html>"),
    ("cosmos", "CgIKAA==", (200, '{"tx_response":{"txhash":"%s","code":0,"raw_log":""}}' % TXID.upper()),
     "/cosmos/tx/v1beta1/txs application/json", '{"mode":"BROADCAST_MODE_SYNC","tx_bytes":"CgIKAA=="}',
     TXID.upper()),
    ("cosmos", "CgIKAA==", (200, '{"tx_response":{"txhash":"%s","code":13,"raw_log":"insufficient fee\\n"}}' % TXID),
     "/cosmos/tx/v1beta1/txs application/json", '{"mode":"BROADCAST_MODE_SYNC","tx_bytes":"CgIKAA=="}',
     "broadcast failed: code 13: insufficient fee\\n"),
    ("cosmos", "CgIKAA==", (400, '{"code":3,"message":"tx parse error","details":[]}'),
     "/cosmos/tx/v1beta1/txs application/json", '{"mode":"BROADCAST_MODE_SYNC","tx_bytes":"CgIKAA=="}',
     "broadcast failed: node refused the transaction: tx parse error"),
    ("tron", "0a00", (200, '{"result":true,"txid":"%s"}' % TXID), "/wallet/broadcasthex application/json",
     '{"transaction":"0a00"}', TXID),
    ("tron", "0a00", (200, json.dumps(TRON_REFUSAL)), "/wallet/broadcasthex application/json",
     '{"transaction":"0a00"}', "broadcast failed: SIGERROR: validate signature error"),
    ("ton", BOC_B64, (200, '{"ok":true,"result":{"@type":"ok"}}'), "/sendBoc application/json",
     json.dumps({"boc": BOC_B64}, separators=(",", ":")), BOC.hash.hex()),
    ("ton", BOC_B64, (500, '{"ok":false,"error":"LITE_SERVER_UNKNOWN: cannot apply external message","code":500}'),
     "/sendBoc application/json", json.dumps({"boc": BOC_B64}, separators=(",", ":")),
     "broadcast failed: node refused the message: LITE_SERVER_UNKNOWN: cannot apply external message"),
]


@pytest.mark.parametrize("chain,signed,reply,path,body,result", CASES)
def test_each_api(chain: str, signed: str, reply: tuple[int, str], path: str, body: str, result: str) -> None:
    with RpcServer() as server:
        server.answer(reply[1].encode(), reply[0])
        if result.startswith("broadcast failed: "):
            with pytest.raises(RuntimeError) as e:
                qel.broadcast_transaction(chain, signed, rpc_url=server.url + "/")
            assert str(e.value) == result
        else:
            assert qel.broadcast_transaction(chain, signed, server.url + "/") == {"tx_hash": result}
    assert (server.paths, server.requests) == ([path], [body.encode()])


def test_endpoint_from_the_configuration() -> None:
    with RpcServer() as server:
        config = Path(os.environ["HOME"]) / ".qel" / "config.json"
        config.parent.mkdir()
        config.write_text(json.dumps({"vault_path": "/somewhere", "rpc": {"eip155:5": server.url + "/goerli"}}))
        assert qel.broadcast_transaction("eip155:5", "0x01") == {"tx_hash": "0xhash"}
        assert server.paths == ["/goerli application/json"]
        with pytest.raises(RuntimeError) as e:
            qel.broadcast_transaction("eip155:6", "0x01")
        assert str(e.value) == "broadcast failed: no RPC endpoint configured for eip155:6"


@pytest.mark.parametrize("chain,signed,message", [
    ("cosmos", "CgIKAA=", "invalid input: invalid base64 transaction: invalid base64 length"),
    ("solana", "", "invalid input: empty transaction"),
    ("tron", "0xzz", "invalid input: invalid hex transaction: Invalid character 'z' at position 0"),
    ("ton", base64.b64encode(BOC.to_boc()[:-1]).decode(), "invalid input: invalid message: truncated bag of cells"),
    ("bitcoin", "00", "broadcast failed: invalid RPC URL: '-x' is not an http:// or https:// URL"),
])
def test_refused_before_sending(chain: str, signed: str, message: str) -> None:
    with pytest.raises(RuntimeError) as e:
        qel.broadcast_transaction(chain, signed, rpc_url="-x")
    assert str(e.value) == message
