"""sign_and_encode for the families other than EVM, against each ecosystem's own library."""

from __future__ import annotations

import base64
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
