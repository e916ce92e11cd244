"""broadcast_transaction through the real curl against a stand-in of each chain's API on 127.0.0.1:
the exact path, content type and body of each request, and each API's success and error replies."""

from __future__ import annotations

import base64
import json

import pytest
from pytoniq_core import begin_cell

import qel
from _support import RpcServer

TXID = "ab" * 32
BOC = begin_cell().store_uint(0x88, 8).store_ref(begin_cell().store_uint(7, 5).end_cell()).end_cell()
BOC_B64 = base64.b64encode(BOC.to_boc()).decode()
TRON_REFUSAL = {"code": "SIGERROR", "txid": TXID, "message": b"validate signature error".hex()}
NOISY = "\x1b[2J" + "x" * 400

JSON = "application/json"
SENT = {  # chain: the signed_tx given, "path content-type" and body of the request
    "ethereum": ("0x02c0", "/ " + JSON, '{"id":1,"jsonrpc":"2.0","method":"eth_sendRawTransaction","params":["0x02c0"]}'),
    "solana": ("AQID", "/ " + JSON,
               '{"id":1,"jsonrpc":"2.0","method":"sendTransaction","params":["AQID",{"encoding":"base64"}]}'),
    "bitcoin": ("0200ff", "/tx text/plain", "0200ff"),
    "cosmos": ("CgIKAA==", "/cosmos/tx/v1beta1/txs " + JSON, '{"mode":"BROADCAST_MODE_SYNC","tx_bytes":"CgIKAA=="}'),
    "tron": ("0a00", "/wallet/broadcasthex " + JSON, '{"transaction":"0a00"}'),
    "ton": (BOC_B64, "/sendBoc " + JSON, json.dumps({"boc": BOC_B64}, separators=(",", ":"))),
}
SENT["eip155:1"] = ("02c0", *SENT["ethereum"][1:])  # "0x" is added

# chain, status and body of the reply, the result or the "broadcast failed: ..." text
CASES = [
    ("ethereum", 200, '{"jsonrpc":"2.0","id":1,"result":"0xhash"}', "0xhash"),
    ("eip155:1", 500, '{"jsonrpc":"2.0","id":1,"error":{"code":-32000,"message":"nonce too low"}}',
     "broadcast failed: RPC error: nonce too low"),
    ("solana", 200, '{"jsonrpc":"2.0","id":1,"result":"5sig"}', "5sig"),
    ("bitcoin", 200, TXID, TXID),
    ("bitcoin", 400, 'sendrawtransaction RPC error: {"code":-26,"message":"min relay fee not met"}',
     'broadcast failed: node refused the transaction: sendrawtransaction RPC error: '
     '{"code":-26,"message":"min relay fee not met"}'),
    ("bitcoin", 400, NOISY, "broadcast failed: node refused the transaction: \\x1b[2J" + "x" * 296 + "\u2026"),
    ("bitcoin", 200, "<html>", "broadcast failed: unexpected reply (expected a txid): <html>"),
    ("cosmos", 200, '{"tx_response":{"txhash":"%s","code":0,"raw_log":""}}' % TXID.upper(), TXID.upper()),
    ("cosmos", 200, '{"tx_response":{"txhash":"%s","code":13,"raw_log":"insufficient fee\\n"}}' % TXID,
     "broadcast failed: code 13: insufficient fee\\n"),
    ("cosmos", 400, '{"code":3,"message":"tx parse error","details":[]}',
     "broadcast failed: node refused the transaction: tx parse error"),
    ("tron", 200, '{"result":true,"txid":"%s"}' % TXID, TXID),
    ("tron", 200, json.dumps(TRON_REFUSAL), "broadcast failed: SIGERROR: validate signature error"),
    ("ton", 200, '{"ok":true,"result":{"@type":"ok"}}', BOC.hash.hex()),
    ("ton", 500, '{"ok":false,"error":"LITE_SERVER_UNKNOWN: cannot apply external message","code":500}',
     "broadcast failed: node refused the message: LITE_SERVER_UNKNOWN: cannot apply external message"),
]


@pytest.mark.parametrize("chain,status,reply,result", CASES)
def test_each_api(chain: str, status: int, reply: str, result: str) -> None:
    signed, path, body = SENT[chain]
    with RpcServer() as server:
        server.answer(reply.encode(), status)
        try:
            got = qel.broadcast_transaction(chain, signed, server.url + "/")["tx_hash"]
        except RuntimeError as e:
            got = str(e)
    assert (got, server.paths, server.requests) == (result, [path], [body.encode()])


@pytest.mark.parametrize("chain,signed,message", [
    ("cosmos", "CgIKAA=", "invalid input: invalid base64 transaction: invalid base64 length"),
    ("solana", "", "invalid input: empty transaction"),
    ("tron", "0xzz", "invalid input: invalid hex transaction: Invalid character 'z' at position 0"),
    ("ton", base64.b64encode(BOC.to_boc()[:-1]).decode(), "invalid input: invalid message: truncated bag of cells"),
])
def test_refused_before_sending(chain: str, signed: str, message: str) -> None:
    with pytest.raises(RuntimeError) as e:
        qel.broadcast_transaction(chain, signed, rpc_url="-x")
    assert str(e.value) == message
