"""sign_and_encode for the families other than EVM, against each ecosystem's own library."""

from __future__ import annotations

import base64
import hashlib
from collections.abc import Callable
from pathlib import Path

import pytest
from solders.address_lookup_table_account import AddressLookupTableAccount
from solders.hash import Hash
from solders.instruction import AccountMeta, Instruction
from solders.message import Message, MessageV0, to_bytes_versioned
from solders.pubkey import Pubkey
from solders.transaction import VersionedTransaction

import qel
from _support import KNOWN, PASS, load


def encode(vault: Path, chain: str, tx: str, **kw: object) -> dict:
    return qel.sign_and_encode("abandon", chain, tx, **{"passphrase": PASS, "vault_path_opt": str(vault), **kw})


def test_solana_executed_by_litesvm(shared: Path) -> None:
    """Transfers out of the wallet's account, paid by it (legacy and version 0) and by another
    signer who signed first: each runs on an in-process node."""
    from solders.keypair import Keypair
    from solders.litesvm import LiteSVM
    from solders.system_program import TransferParams, transfer
    from solders.transaction_metadata import TransactionMetadata
    svm, own, payer, to = LiteSVM(), Pubkey.from_string(KNOWN[("solana", 0)]["address"]), Keypair(), Pubkey.new_unique()
    for account in (own, payer.pubkey()):
        svm.airdrop(account, 10**10)
    ix = transfer(TransferParams(from_pubkey=own, to_pubkey=to, lamports=10**9))
    legacy, v0 = (lambda p: Message.new_with_blockhash([ix], p, svm.latest_blockhash()),
                  lambda p: MessageV0.try_compile(p, [ix], [], svm.latest_blockhash()))
    for fee_payer, form in ((own, legacy), (own, v0), (payer.pubkey(), legacy)):
        message = to_bytes_versioned(form(fee_payer))
        slots = b"\x01" + bytes(64) if fee_payer == own else b"\x02" + bytes(payer.sign_message(message)) + bytes(64)
        got = encode(shared, "solana", (slots + message).hex())
        signed = VersionedTransaction.from_bytes(base64.b64decode(got["signed_tx"]))
        assert isinstance(svm.send_transaction(signed), TransactionMetadata)
        assert got["tx_hash"] == str(signed.signatures[0])
    assert svm.get_balance(to) == 3 * 10**9
    with pytest.raises(RuntimeError, match="^invalid transaction: this account is not a signer of the transaction$"):
        encode(shared, "solana", (b"\x01" + bytes(64) + to_bytes_versioned(Message.new_with_blockhash(
            [transfer(TransferParams(from_pubkey=payer.pubkey(), to_pubkey=to, lamports=1))], payer.pubkey(),
            svm.latest_blockhash()))).hex())


def tron_transactions() -> list[bytes]:
    """raw_data written by tronpy: transfers of 1 and of the most with a memo, and a contract call."""
    from google.protobuf.any_pb2 import Any
    from tronpy.keys import to_raw_address
    from tronpy.proto import tron_pb2 as pb
    owner, to = to_raw_address(KNOWN[("tron", 0)]["address"]), to_raw_address("TJRabPrwbZy45sbavfcjinPJC18kjpRTv8")

    def raw(kind: str, parameter: object, **fields: object) -> bytes:
        contract = pb.Transaction.Contract(type=getattr(pb.Transaction.Contract.ContractType, kind), parameter=Any(
            type_url="type.googleapis.com/protocol." + kind, value=parameter.SerializeToString()))
        return pb.Transaction.raw(ref_block_bytes=b"\x12\x34", ref_block_hash=bytes(range(8)), contract=[contract],
                                  expiration=1_800_000_000_000, timestamp=1_799_999_940_000, **fields).SerializeToString()
    return [raw("TransferContract", pb.TransferContract(owner_address=owner, to_address=to, amount=1)),
            raw("TransferContract", pb.TransferContract(owner_address=owner, to_address=to, amount=2**63 - 1),
                data=b"memo"),
            raw("TriggerSmartContract", pb.TriggerSmartContract(
                owner_address=owner, contract_address=to, data=bytes.fromhex("a9059cbb" + "00" * 12 + "11" * 20 + "%064x" % 10**6)),
                fee_limit=100_000_000)]


def test_tron_transactions_like_tronpy(shared: Path) -> None:
    from tronpy.keys import PrivateKey
    from tronpy.proto import tron_pb2 as pb
    key = PrivateKey(bytes.fromhex(KNOWN[("tron", 0)]["private_key_hex"]))
    for raw in tron_transactions():
        txid = hashlib.sha256(raw).digest()
        expected = pb.Transaction(raw_data=pb.Transaction.raw.FromString(raw), signature=[key.sign_msg_hash(txid).to_bytes()])
        assert encode(shared, "tron", raw.hex()) == {"signed_tx": expected.SerializeToString().hex(), "tx_hash": txid.hex()}


def cosmos_transactions(public_key: bytes | None = None, chain_id: str = "cosmoshub-4") -> list[tuple[bytes, object]]:
    """(SignDoc bytes, the cosmpy transaction sealed and signed over it)."""
    from cosmpy.aerial.tx import SigningCfg, Transaction, TxFee
    from cosmpy.crypto.keypairs import PrivateKey, PublicKey
    from cosmpy.protos.cosmos.bank.v1beta1.tx_pb2 import MsgSend
    from cosmpy.protos.cosmos.base.v1beta1.coin_pb2 import Coin
    from cosmpy.protos.cosmos.tx.v1beta1.tx_pb2 import SignDoc
    key = PrivateKey(bytes.fromhex(KNOWN[("cosmos", 0)]["private_key_hex"]))
    me, other = KNOWN[("cosmos", 0)]["address"], KNOWN[("cosmos", 1)]["address"]
    send = lambda to, amount: MsgSend(from_address=me, to_address=to, amount=[Coin(denom="uatom", amount=amount)])  # noqa: E731
    out = []
    for msgs, fee, sequence, account, memo in [
        ([send(other, "1")], TxFee("5000uatom", 200000), 0, 0, None),
        ([send(other, str(2**256 - 1)), send(me, "0")], TxFee("1uatom", 2**63 - 1), 2**64 - 1, 123456, "two outputs"),
    ]:
        tx = Transaction()
        for m in msgs:
            tx.add_message(m)
        tx.seal(SigningCfg.direct(PublicKey(public_key) if public_key else key.public_key, sequence), fee, memo)
        tx.sign(key, chain_id, account, deterministic=True).complete()
        out.append((SignDoc(body_bytes=tx.tx.body.SerializeToString(), auth_info_bytes=tx.tx.auth_info.SerializeToString(),
                            chain_id=chain_id, account_number=account).SerializeToString(), tx))
    return out


def test_cosmos_transactions_like_cosmpy(shared: Path) -> None:
    for doc, tx in cosmos_transactions():
        raw = tx.tx.SerializeToString()
        assert encode(shared, "cosmos", doc.hex()) == {"signed_tx": base64.b64encode(raw).decode(),
                                                       "tx_hash": hashlib.sha256(raw).hexdigest().upper()}


MAX_SATS = 21_000_000 * 100_000_000
OTHER = bytes.fromhex("0014" + "11" * 20)
TAPROOT = bytes.fromhex("5120" + "22" * 32)
PSBTS = [
    dict(amounts=[100_000], outputs=[(90_000, OTHER)]),
    dict(amounts=[MAX_SATS, 1, 50_000], outputs=[(MAX_SATS, TAPROOT), (0, bytes.fromhex("6a04cafe0001")),
                                                 (10_000, bytes.fromhex("76a914" + "33" * 20 + "88ac"))]),
    dict(amounts=[5_000] * 10, outputs=[(4_000, OTHER)] * 10, full_previous=True, sighash=1),
]


def bitcoin_psbt(amounts: list[int], outputs: list[tuple[int, bytes]], *, full_previous: bool = False,
                 sighash: int | None = None, script: bytes | None = None) -> object:
    """An embit PSBT spending outputs of the wallet's P2WPKH address (or of `script`)."""
    from embit.ec import PrivateKey
    from embit.psbt import PSBT
    from embit.script import Script, p2wpkh
    from embit.transaction import Transaction, TransactionInput, TransactionOutput
    own = script or p2wpkh(PrivateKey(bytes.fromhex(KNOWN[("bitcoin", 0)]["private_key_hex"])).get_public_key()).data
    previous = Transaction(vin=[TransactionInput(bytes(range(32)), 7)],
                           vout=[TransactionOutput(a, Script(own)) for a in amounts])
    psbt = PSBT(Transaction(vin=[TransactionInput(previous.txid(), i, sequence=0xfffffffd - i) for i in range(len(amounts))],
                            vout=[TransactionOutput(v, Script(s)) for v, s in outputs], locktime=850_000))
    for i, inp in enumerate(psbt.inputs):
        inp.witness_utxo = previous.vout[i]
        inp.non_witness_utxo = previous if full_previous else None
        if sighash is not None and i == len(amounts) - 1:
            inp.sighash_type = sighash
    return psbt


def test_bitcoin_psbts_like_embit(shared: Path) -> None:
    from embit.ec import PrivateKey
    from embit.finalizer import finalize_psbt
    for spec in PSBTS:
        psbt = bitcoin_psbt(**spec)
        given = [psbt.to_base64(), psbt.serialize().hex()]
        assert psbt.sign_with(PrivateKey(bytes.fromhex(KNOWN[("bitcoin", 0)]["private_key_hex"]))) == len(spec["amounts"])
        final = finalize_psbt(psbt)
        for form in given:
            assert encode(shared, "bitcoin", form) == {"signed_tx": final.serialize().hex(), "tx_hash": final.txid().hex()}


@pytest.mark.parametrize("chain,tx,passphrase,message", [
    ("cosmos", lambda: cosmos_transactions(chain_id="theta-testnet-001\n")[0][0].hex(), "wrong",  # before unlocking
     "invalid input: transaction: chain id 'theta-testnet-001\\n' is not the chain id of cosmos (cosmoshub-4)"),
    ("cosmos", lambda: cosmos_transactions(bytes.fromhex(KNOWN[("cosmos", 1)]["public_key_hex_compressed"]))[0][0].hex(),
     PASS, "invalid transaction: the signer's public key in auth_info is not this account's"),
    ("bitcoin", lambda: bitcoin_psbt([1000, 2000], [(500, OTHER)], sighash=3).to_base64(), PASS,
     "invalid input: transaction: input 1: sighash type 3 is not SIGHASH_ALL (1)"),
    ("bitcoin", lambda: bitcoin_psbt([1000, 2000], [(500, OTHER)], script=TAPROOT).to_base64(), PASS,
     "invalid input: transaction: input 0: does not spend a P2WPKH output"),
    ("bitcoin", lambda: bitcoin_psbt([1000, 2000], [(500, OTHER)], script=OTHER).to_base64(), PASS,
     "invalid transaction: input 0 is not spendable by this account"),  # known only once unlocked
])
def test_refusals(shared: Path, chain: str, tx: Callable[[], str], passphrase: str, message: str) -> None:
    with pytest.raises(RuntimeError) as e:
        encode(shared, chain, tx(), passphrase=passphrase)
    assert str(e.value) == message


def ton_signing_message(seqno: int, amounts: list[int]) -> object:
    """A wallet v5r1 signing message written by pytoniq-core, one internal message per amount."""
    from pytoniq_core import Address, begin_cell
    actions = begin_cell().end_cell()  # out_list_empty
    for amount in amounts:
        internal = (begin_cell().store_uint(0b0110, 4).store_uint(0, 2)
                    .store_address(Address("EQBvW8Z5huBkMJYdnfAEM5JqTNkuWX3diqYENkWsIL0XggGG"))
                    .store_coins(amount).store_uint(0, 1 + 4 + 4 + 64 + 32 + 1 + 1).end_cell())
        actions = begin_cell().store_ref(actions).store_uint(0x0ec3c86d, 32).store_uint(3, 8).store_ref(internal).end_cell()
    return (begin_cell().store_uint(0x7369676E, 32).store_uint(2147483409, 32).store_uint(1_800_000_000, 32)
            .store_uint(seqno, 32).store_maybe_ref(actions).store_bit(0).end_cell())


@pytest.mark.parametrize("seqno,amounts", [(0, [1]), (7, [0, 2**120 - 1, 5]), (2**32 - 1, [10**9])])
def test_ton_external_messages_like_pytoniq(shared: Path, seqno: int, amounts: list[int]) -> None:
    from nacl.signing import SigningKey
    from pytoniq_core import Address, Cell, begin_cell
    from pytoniq_core.tlb.account import StateInit
    from pytoniq_core.tlb.transaction import ExternalMsgInfo, MessageAny
    signing, key = ton_signing_message(seqno, amounts), SigningKey(bytes.fromhex(KNOWN[("ton", 0)]["private_key_hex"]))
    body = begin_cell().store_cell(signing).store_bytes(key.sign(signing.hash).signature).end_cell()
    data = begin_cell().store_bit(1).store_uint(0, 32).store_uint(2147483409, 32).store_bytes(bytes(key.verify_key))
    init = StateInit(code=Cell.one_from_boc(load("ton-v5r1.json")["code_boc_hex"]), data=data.store_bit(0).end_cell())
    expected = MessageAny(ExternalMsgInfo(None, Address((0, init.serialize().hash)), 0), init if seqno == 0 else None,
                          body).serialize()
    for given in (base64.b64encode(signing.to_boc()).decode(), signing.to_boc(hash_crc32=True).hex()):
        assert encode(shared, "ton", given) == {"signed_tx": base64.b64encode(expected.to_boc(hash_crc32=True)).decode(),
                                                "tx_hash": expected.hash.hex()}


def test_describe_says_where_value_goes() -> None:
    from embit.script import Script
    psbt = bitcoin_psbt(**PSBTS[1])  # scripts other than P2WPKH and P2WSH are shown as they are
    assert qel.describe_transaction("bitcoin", psbt.to_base64()) == {
        "output 0": f"{MAX_SATS} sat to script {TAPROOT.hex()}", "output 1": "0 sat to script 6a04cafe0001",
        "output 2": "10000 sat to script 76a914" + "33" * 20 + "88ac", "fee (sat)": "40001"}
    assert qel.describe_transaction("bitcoin", bitcoin_psbt([5000], [(4000, OTHER)]).serialize().hex()) == {
        "output 0": "4000 sat to " + Script(OTHER).address(), "fee (sat)": "1000"}
    def send(amount: int, index: int) -> str:
        return f"/cosmos.bank.v1beta1.MsgSend: {amount} uatom to " + KNOWN[("cosmos", index)]["address"]
    assert qel.describe_transaction("cosmos", cosmos_transactions()[1][0].hex()) == {
        "chain id": "cosmoshub-4", "account number": "123456", "message 1": send(2**256 - 1, 1),
        "message 2": send(0, 0), "memo": "two outputs"}
    from tronpy.keys import to_base58check_address
    assert qel.describe_transaction("tron", tron_transactions()[2].hex()) == {
        "contract": "type.googleapis.com/protocol.TriggerSmartContract",
        "contract address": "TJRabPrwbZy45sbavfcjinPJC18kjpRTv8", "call value (sun)": "0",
        "token transfer": "1000000 (token units) to " + to_base58check_address(b"\x41" + b"\x11" * 20),
        "fee limit (sun)": "100000000", "expiration (ms)": "1800000000000"}
    to = "EQBvW8Z5huBkMJYdnfAEM5JqTNkuWX3diqYENkWsIL0XggGG"
    assert qel.describe_transaction("ton", ton_signing_message(0, [1, 2**120 - 1]).to_boc().hex()) == {
        "seqno": "0", "valid until": "1800000000", "message 1": "1 nanoton to " + to,
        "message 2": f"{2**120 - 1} nanoton to {to}"}
    from solders.system_program import TransferParams, transfer
    payer, other, looked_up = Pubkey.from_string(KNOWN[("solana", 0)]["address"]), Pubkey.new_unique(), Pubkey.new_unique()
    pay = transfer(TransferParams(from_pubkey=payer, to_pubkey=looked_up, lamports=2**64 - 1))
    message = MessageV0.try_compile(payer, [pay, Instruction(other, b"\x07", [AccountMeta(payer, True, False)])],
                                    [AddressLookupTableAccount(Pubkey.new_unique(), [looked_up])], Hash.default())
    assert qel.describe_transaction("solana", (b"\x01" + bytes(64) + to_bytes_versioned(message)).hex()) == {
        "fee payer": str(payer), "signers": "1",
        "instruction 1": f"transfer {2**64 - 1} lamports from {payer} to lookup table account 0",
        "instruction 2": f"program {other}, 1 accounts, 1 data bytes"}
