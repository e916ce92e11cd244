"""sign_and_encode and sign_authorization on EVM chains, byte for byte against eth-account."""

from __future__ import annotations

from pathlib import Path

import pytest
import rlp
from eth_account import Account
from eth_account._utils.legacy_transactions import serializable_unsigned_transaction_from_dict
from eth_account._utils.transaction_utils import transaction_rpc_to_rlp_structure
from eth_account.typed_transactions import TypedTransaction

import qel
from _support import KNOWN, PASS, VECTOR

KEY = KNOWN[("evm", 0)]["private_key_hex"]
TO = "0x5ce9454909639D2D17A3F753ce7d93fa0b9aB12E"
MAX = 2**256 - 1


def unsigned_bytes(tx: dict) -> bytes:
    """The unsigned form eth-account hashes: EIP-155 legacy, or type byte || rlp(fields)."""
    if "type" not in tx:
        return rlp.encode(serializable_unsigned_transaction_from_dict(tx))
    inner = TypedTransaction.from_dict(tx).transaction
    fields = transaction_rpc_to_rlp_structure({k: v for k, v in inner.dictionary.items() if k not in "vrs"})
    return bytes([tx["type"]]) + rlp.encode(inner._unsigned_transaction_serializer.from_dict(fields))


def authorization(chain_id: int, nonce: int) -> object:
    return Account.sign_authorization({"chainId": chain_id, "address": TO, "nonce": nonce}, KEY)


LEGACY = {"nonce": 0, "gasPrice": 20 * 10**9, "gas": 21000, "to": TO, "value": 10**18, "data": b"", "chainId": 1}
FEES = {"maxPriorityFeePerGas": 1, "maxFeePerGas": 30 * 10**9}
# (chain, transaction): every form, zero and maximum amounts, a contract creation, a chain beyond the table.
TRANSACTIONS = [
    ("ethereum", LEGACY),
    ("polygon", {**LEGACY, "chainId": 137, "value": 0, "nonce": 2**64 - 1, "data": b"\x00" * 100}),
    ("bsc", {**LEGACY, "chainId": 56, "value": MAX, "to": b"", "data": bytes(range(256))}),
    ("eip155:18446744073709551615", {**LEGACY, "chainId": 2**64 - 1}),  # v passes 64 bits
    ("ethereum", {"type": 1, "chainId": 1, "nonce": 1, "gasPrice": 1, "gas": 50000, "to": TO, "value": 0,
                  "data": b"", "accessList": [{"address": TO, "storageKeys": ["0x" + "01" * 32]}]}),
    ("eip155:11155111", {"type": 2, "chainId": 11155111, "nonce": 5, **FEES, "gas": 21000, "to": TO,
                         "value": MAX, "data": b"", "accessList": []}),
    ("ethereum", {"type": 4, "chainId": 1, "nonce": 3, **FEES, "gas": 100000, "to": TO, "value": 0,
                  "data": b"\x01\x02", "accessList": [], "authorizationList": [authorization(1, 7)]}),
    ("base", {"type": 4, "chainId": 8453, "nonce": 0, **FEES, "gas": 90000, "to": TO, "value": 1, "data": b"",
              "accessList": [{"address": TO, "storageKeys": []}],
              "authorizationList": [authorization(0, 0), authorization(8453, 2**64 - 1)]}),
]


@pytest.mark.parametrize("chain,tx", TRANSACTIONS)
def test_signed_like_eth_account(shared: Path, chain: str, tx: dict) -> None:
    expected = Account.sign_transaction(tx, KEY)
    assert qel.sign_and_encode("abandon", chain, unsigned_bytes(tx).hex(), passphrase=PASS, vault_path_opt=str(shared)) \
        == {"signed_tx": "0x" + expected.raw_transaction.hex(), "tx_hash": "0x" + expected.hash.hex()}


@pytest.mark.parametrize("chain_id,nonce", [(0, 0), (1, 7), (2**64 - 1, 2**64 - 1)])
def test_authorizations_like_eth_account(shared: Path, chain_id: int, nonce: int) -> None:
    a = authorization(chain_id, nonce)
    assert qel.sign_authorization("abandon", chain_id, TO.lower(), nonce, passphrase=PASS, vault_path_opt=str(shared)) \
        == {"chain_id": chain_id, "address": TO, "nonce": nonce, "y_parity": a.y_parity, "r": "%064x" % a.r, "s": "%064x" % a.s}


LEGACY_HEX = unsigned_bytes(LEGACY).hex()
MISMATCH = "invalid input: transaction: chain id {} is not the chain id of {}"
# Each refused before the wallet is opened: the passphrase given is wrong.
REFUSED = [
    (qel.sign_and_encode, ("polygon", LEGACY_HEX), MISMATCH.format(1, "polygon (137)")),
    (qel.sign_and_encode, ("eip155:5", "0x" + LEGACY_HEX), MISMATCH.format(1, "eip155:5 (5)")),
    (qel.sign_and_send, ("polygon", VECTOR["unsigned_hex"]), MISMATCH.format(1337, "polygon (137)")),
    (qel.sign_and_encode, ("ethereum", "03c0"),
     "invalid input: transaction: unsupported transaction type (expected legacy, 0x01, 0x02 or 0x04)"),
    (qel.sign_and_encode, ("ethereum", "0x0"), "invalid input: invalid hex transaction: Odd number of digits"),
    (qel.sign_and_encode, ("eip155:18446744073709551616", LEGACY_HEX), "invalid input: unknown chain: "
     "'eip155:18446744073709551616'. Use a chain name (ethereum, solana, bitcoin, ...) or CAIP-2 ID (eip155:1, ...)"),
    (qel.sign_authorization, (1, "0x" + "ab" * 19, 0), "invalid input: invalid address: expected 20 bytes, got 19"),
    (qel.sign_authorization, (1, "0xzz", 0), "invalid input: invalid hex address: Invalid character 'z' at position 0"),
]


@pytest.mark.parametrize("func,args,message", REFUSED)
def test_refused_before_unlocking(shared: Path, func, args: tuple, message: str) -> None:  # noqa: ANN001
    send = {"rpc_url": "http://127.0.0.1:1"} if func is qel.sign_and_send else {}
    with pytest.raises(RuntimeError) as e:
        func("abandon", *args, passphrase="wrong", vault_path_opt=str(shared), **send)
    assert str(e.value) == message


def test_executed_by_py_evm(shared: Path) -> None:
    """Every form, sent in turn from the wallet's account on an in-process Prague chain (chain id 1):
    the type 0x04 one sets code on the sender and, by a chain-0 authorization, on 'at1'."""
    from eth.chains.base import MiningChain
    from eth.constants import ZERO_ADDRESS, ZERO_HASH32
    from eth.db.atomic import AtomicDB
    from eth.vm.forks.prague import PragueVM
    own, other = (bytes.fromhex(KNOWN[("evm", i)]["address"][2:]) for i in (0, 1))
    chain = MiningChain.configure(vm_configuration=((0, PragueVM),), chain_id=1).from_genesis(
        AtomicDB(), {"difficulty": 0, "gas_limit": 30_000_000, "timestamp": 1, "coinbase": ZERO_ADDRESS,
                     "extra_data": b"", "nonce": bytes(8), "mix_hash": ZERO_HASH32},
        {own: {"balance": 10**21, "nonce": 0, "code": b"", "storage": {}}})
    vault, delegate = str(shared), bytes.fromhex(TO[2:])

    def authorize(wallet: str, chain_id: int, nonce: int) -> list:
        a = qel.sign_authorization(wallet, chain_id, TO, nonce, passphrase=PASS, index=int(wallet == "at1"),
                                   vault_path_opt=vault)
        return [chain_id, delegate, nonce, a["y_parity"], int(a["r"], 16), int(a["s"], 16)]
    fees = {"maxPriorityFeePerGas": 1, "maxFeePerGas": 2 * 10**9}
    unsigned = [
        unsigned_bytes({**LEGACY, "gasPrice": 2 * 10**9}),
        unsigned_bytes({"type": 1, "chainId": 1, "nonce": 1, "gasPrice": 2 * 10**9, "gas": 30000, "to": TO,
                        "value": 1, "data": b"", "accessList": [{"address": TO, "storageKeys": []}]}),
        unsigned_bytes({"type": 2, "chainId": 1, "nonce": 2, **fees, "gas": 21000, "to": TO, "value": 0,
                        "data": b"", "accessList": []}),
        b"\x04" + rlp.encode([1, 3, 1, 2 * 10**9, 100000, delegate, 0, b"", [],
                              [authorize("abandon", 1, 4), authorize("at1", 0, 0)]]),
    ]
    for tx in unsigned:
        got = qel.sign_and_encode("abandon", "ethereum", tx.hex(), passphrase=PASS, vault_path_opt=vault)
        decoded = chain.get_vm().get_transaction_builder().decode(bytes.fromhex(got["signed_tx"][2:]))
        assert decoded.sender == own and "0x" + decoded.hash.hex() == got["tx_hash"]
        assert chain.apply_transaction(decoded)[2].is_success
    state = chain.get_vm().state
    assert state.get_balance(delegate) == 10**18 + 1 and state.get_nonce(own) == 5
    assert state.get_code(own) == state.get_code(other) == b"\xef\x01\x00" + delegate
