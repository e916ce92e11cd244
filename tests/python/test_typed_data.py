"""sign_typed_data against eth-account on a random corpus."""

from __future__ import annotations

import json
import random
from pathlib import Path

import pytest
from eth_account import Account
from eth_account._utils.encode_typed_data.encoding_and_hashing import hash_domain
from eth_hash.auto import keccak
from eth_utils import to_checksum_address

import qel
from _support import PASS, VECTOR

EVM_CHAINS = {"ethereum": 1, "polygon": 137, "base": 8453, "eip155:42161": 42161}


def corpus(rng: random.Random, chain_id: int) -> dict:
    """Random typed data: nested structs, arrays (fixed, dynamic, nested), a self-referring Person,
    every atomic kind at random widths, integers written in every accepted form."""
    def atomic() -> str:
        return rng.choice(["address", "bool", "string", "bytes", f"bytes{rng.randint(1, 32)}",
                           f"uint{8 * rng.randint(1, 32)}", f"int{8 * rng.randint(1, 32)}"])

    def value(type_: str, depth: int) -> object:
        if type_.endswith("]"):
            inner, _, size = type_[:-1].rpartition("[")
            return [value(inner, depth + 1) for _ in range(int(size) if size else rng.randint(0, 3 if depth < 3 else 0))]
        if type_ in types:
            return {f["name"]: value(f["type"], depth + 1) for f in types[type_]}
        if type_ == "address":
            raw = rng.randbytes(20)
            return to_checksum_address(raw) if rng.random() < 0.5 else "0x" + raw.hex()
        if type_ == "bool":
            return rng.random() < 0.5
        if type_ == "string":
            return "".join(rng.choice("abc xyz é漢🙂\"\\") for _ in range(rng.randint(0, 12)))
        if type_.startswith("bytes"):
            return "0x" + rng.randbytes(int(type_[5:]) if type_[5:] else rng.randint(0, 40)).hex()
        bits = int(type_.lstrip("uint"))
        lo, hi = (-(1 << bits - 1), (1 << bits - 1) - 1) if type_.startswith("int") else (0, (1 << bits) - 1)
        number = rng.choice([lo, hi, 0, rng.randint(lo, hi)])
        # A JSON number however many digits, a decimal string, or a hex string.
        return rng.choice([number, str(number), hex(number) if number >= 0 else number])

    field = lambda name, type_: {"name": name, "type": type_}  # noqa: E731
    types: dict[str, list[dict]] = {"Person": [field("name", "string"), field("wallet", "address"),
                                               field("children", "Person[]")]}
    names = [f"S{i}" for i in range(rng.randint(1, 3))]
    for i, name in enumerate(names):
        types[name] = [field(f"f{j}", rng.choice([atomic(), atomic(), "Person"] + names[i + 1:])
                             + rng.choice(["", "", "[]", f"[{rng.randint(1, 3)}]", f"[][{rng.randint(1, 2)}]"]))
                       for j in range(rng.randint(1, 5))]
        if i + 1 < len(names):  # every struct is used, so Root is the one no other refers to
            types[name].append(field("next", names[i + 1] + rng.choice(["", "[]", "[2]"])))
    types["Root"] = [field("items", f"{names[0]}[]"), field("owner", "Person"), field("note", "string")]
    chosen = [f for f in [("name", "string"), ("version", "string"), ("chainId", "uint256"),
                          ("verifyingContract", "address"), ("salt", "bytes32")] if rng.random() < 0.6]
    domain = {name: value(type_, 1) for name, type_ in chosen}
    if "chainId" in domain:
        domain["chainId"] = rng.choice([chain_id, str(chain_id), hex(chain_id)])
    if rng.random() < 0.5:
        types["EIP712Domain"] = [field(*f) for f in chosen]
    return {"types": types, "primaryType": "Root", "domain": domain, "message": value("Root", 0)}


def sign(shared: Path, chain: str, doc: object) -> dict:
    return qel.sign_typed_data("vec", chain, doc, passphrase=PASS, vault_path_opt=str(shared))


@pytest.mark.parametrize("seed", range(6))
def test_random_documents_sign_as_eth_account_signs(shared: Path, seed: int) -> None:
    rng = random.Random(seed)
    chain = rng.choice(list(EVM_CHAINS))
    text = json.dumps(corpus(rng, EVM_CHAINS[chain]), ensure_ascii=rng.random() < 0.5)
    oracle = Account.sign_typed_data(VECTOR["private_key_hex"], full_message=json.loads(text))
    assert sign(shared, chain, text) == {"signature": bytes(oracle.signature).hex(), "recovery_id": oracle.v}


def test_the_domain_as_primary_type_signs_the_domain_separator_alone(shared: Path) -> None:
    doc = {"types": {"EIP712Domain": [{"name": "name", "type": "string"}, {"name": "chainId", "type": "uint256"}]},
           "primaryType": "EIP712Domain", "domain": {"name": "login", "chainId": 1}, "message": {}}
    # eth-account hashes the domain; it does not take the domain as a primary type.
    oracle = Account.unsafe_sign_hash(keccak(b"\x19\x01" + hash_domain(doc["domain"])), VECTOR["private_key_hex"])
    assert sign(shared, "ethereum", json.dumps(doc)) == {"signature": bytes(oracle.signature).hex(), "recovery_id": oracle.v}
