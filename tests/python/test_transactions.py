"""sign_and_encode for the families other than EVM, against each ecosystem's own library."""

from __future__ import annotations

import base64
import hashlib
from pathlib import Path

from solders.hash import Hash
from solders.instruction import AccountMeta, Instruction
from solders.message import Message, to_bytes_versioned
from solders.pubkey import Pubkey
from solders.transaction import VersionedTransaction

import qel
from _support import KNOWN, PASS


def encode(vault: Path, chain: str, tx: str, **kw: object) -> dict:
    return qel.sign_and_encode("abandon", chain, tx, **{"passphrase": PASS, "vault_path_opt": str(vault), **kw})


def test_solana_wire_transaction(shared: Path) -> None:
    payer = Pubkey.from_string(KNOWN[("solana", 0)]["address"])
    ix = Instruction(Pubkey.new_unique(), b"\x02\x00\x00\x00", [AccountMeta(payer, True, True)])
    message = to_bytes_versioned(Message.new_with_blockhash([ix], payer, Hash.new_unique()))
    got = encode(shared, "solana", (b"\x01" + bytes(64) + message).hex())
    signed = VersionedTransaction.from_bytes(base64.b64decode(got["signed_tx"], validate=True))
    assert signed.verify_with_results() == [True] and to_bytes_versioned(signed.message) == message
    assert got["tx_hash"] == str(signed.signatures[0])


# ---- Tron: raw_data built and signed by tronpy ----

def tron_raw(contract_type: str, parameter: object, **fields: object) -> bytes:
    from google.protobuf.any_pb2 import Any
    from tronpy.proto import tron_pb2
    contract = tron_pb2.Transaction.Contract(
        type=getattr(tron_pb2.Transaction.Contract.ContractType, contract_type),
        parameter=Any(type_url="type.googleapis.com/protocol." + contract_type, value=parameter.SerializeToString()))
    raw = tron_pb2.Transaction.raw(ref_block_bytes=b"\x12\x34", ref_block_hash=bytes(range(8)),
                                   expiration=1_800_000_000_000, timestamp=1_799_999_940_000, contract=[contract],
                                   **fields)
    return raw.SerializeToString()


def tron_transactions() -> list[bytes]:
    from tronpy.keys import to_raw_address
    from tronpy.proto import tron_pb2
    owner = to_raw_address(KNOWN[("tron", 0)]["address"])
    to = to_raw_address("TJRabPrwbZy45sbavfcjinPJC18kjpRTv8")
    return [
        tron_raw("TransferContract", tron_pb2.TransferContract(owner_address=owner, to_address=to, amount=1)),
        tron_raw("TransferContract", tron_pb2.TransferContract(owner_address=owner, to_address=to, amount=2**63 - 1),
                 data=b"memo"),
        tron_raw("TriggerSmartContract", tron_pb2.TriggerSmartContract(
            owner_address=owner, contract_address=to, data=bytes.fromhex("a9059cbb" + "00" * 64)),
                 fee_limit=100_000_000),
    ]


def test_tron_transactions_like_tronpy(shared: Path) -> None:
    from tronpy.keys import PrivateKey
    from tronpy.proto import tron_pb2
    key = PrivateKey(bytes.fromhex(KNOWN[("tron", 0)]["private_key_hex"]))
    for raw in tron_transactions():
        txid = hashlib.sha256(raw).digest()
        expected = tron_pb2.Transaction(raw_data=tron_pb2.Transaction.raw.FromString(raw),
                                        signature=[key.sign_msg_hash(txid).to_bytes()])
        assert encode(shared, "tron", raw.hex()) == {"signed_tx": expected.SerializeToString().hex(),
                                                      "tx_hash": txid.hex()}
