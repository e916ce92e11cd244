"""sign_typed_data against eth-account on the EIP-712 example and a random corpus."""

from __future__ import annotations

import json
import random
from pathlib import Path

import pytest
from eth_account import Account
from eth_utils import to_checksum_address

import qel
from _support import load

PASS = "typed-pass"
MAIL = load("eip712.json")["vectors"][0]
EVM_CHAINS = {"ethereum": 1, "polygon": 137, "base": 8453, "eip155:42161": 42161}


@pytest.fixture(scope="module")
def vault(tmp_path_factory: pytest.TempPathFactory) -> str:
    root = str(tmp_path_factory.mktemp("typed") / "vault")
    qel.import_wallet_private_key("cow", MAIL["private_key"], passphrase=PASS, vault_path_opt=root)
    return root


def sign(vault: str, chain: str, document: dict | str, **kw: object) -> dict:
    text = document if isinstance(document, str) else json.dumps(document)
    return qel.sign_typed_data("cow", chain, text, passphrase=PASS, vault_path_opt=vault, **kw)


def test_mail_example(vault: str) -> None:
    sig = sign(vault, "ethereum", MAIL["typed_data"])
    assert sig == {"signature": MAIL["r"] + MAIL["s"] + f"{MAIL['v']:02x}", "recovery_id": MAIL["v"]}
    oracle = Account.sign_typed_data(MAIL["private_key"], full_message=MAIL["typed_data"])
    assert bytes.fromhex(sig["signature"]) == bytes(oracle.signature)


class Corpus:
    """Random typed data: nested structs, arrays (fixed, dynamic, nested), a self-referring Person,
    every atomic kind at random widths, integers written in every accepted form."""

    def __init__(self, rng: random.Random) -> None:
        self.rng = rng

    def atomic_type(self) -> str:
        kind = self.rng.choice(["address", "bool", "string", "bytes", "bytesN", "uint", "int"])
        if kind == "bytesN":
            return f"bytes{self.rng.randint(1, 32)}"
        if kind in ("uint", "int"):
            return f"{kind}{8 * self.rng.randint(1, 32)}"
        return kind

    def integer(self, signed: bool, bits: int) -> object:
        lo, hi = (-(1 << bits - 1), (1 << bits - 1) - 1) if signed else (0, (1 << bits) - 1)
        value = self.rng.choice([lo, hi, 0, self.rng.randint(lo, hi)])
        form = self.rng.choice(["number", "decimal", "hex"])
        if form == "decimal":
            return str(value)
        if form == "hex" and value >= 0:
            return hex(value)
        return value  # a JSON number, however many digits

    def value(self, type_: str, types: dict, depth: int) -> object:
        rng = self.rng
        if type_.endswith("]"):
            inner, _, size = type_[:-1].rpartition("[")
            count = int(size) if size else rng.randint(0, 3 if depth < 3 else 0)
            return [self.value(inner, types, depth + 1) for _ in range(count)]
        if type_ in types:
            return {f["name"]: self.value(f["type"], types, depth + 1) for f in types[type_]}
        if type_ == "address":
            raw = rng.randbytes(20)
            return to_checksum_address(raw) if rng.random() < 0.5 else "0x" + raw.hex()
        if type_ == "bool":
            return rng.random() < 0.5
        if type_ == "string":
            return "".join(rng.choice("abc xyz é漢🙂\"\\") for _ in range(rng.randint(0, 12)))
        if type_ == "bytes":
            return "0x" + rng.randbytes(rng.randint(0, 40)).hex()
        if type_.startswith("bytes"):
            return "0x" + rng.randbytes(int(type_[5:])).hex()
        return self.integer(type_.startswith("int"), int(type_.lstrip("uint")))

    def document(self, chain_id: int) -> dict:
        rng = self.rng
        types: dict[str, list[dict]] = {
            "Person": [{"name": "name", "type": "string"}, {"name": "wallet", "type": "address"},
                       {"name": "children", "type": "Person[]"}],
        }
        names = [f"S{i}" for i in range(rng.randint(1, 3))]
        for i, name in enumerate(names):
            fields = []
            for j in range(rng.randint(1, 5)):
                base = rng.choice([self.atomic_type(), self.atomic_type(), "Person"] + names[i + 1:])
                suffix = rng.choice(["", "", "[]", f"[{rng.randint(1, 3)}]", f"[][{rng.randint(1, 2)}]"])
                fields.append({"name": f"f{j}", "type": base + suffix})
            if i + 1 < len(names):  # every struct is used, so Root is the one no other refers to
                fields.append({"name": "next", "type": names[i + 1] + rng.choice(["", "[]", "[2]"])})
            types[name] = fields
        types["Root"] = [{"name": "items", "type": f"{names[0]}[]"}, {"name": "owner", "type": "Person"},
                         {"name": "note", "type": "string"}]
        domain_fields = [("name", "string"), ("version", "string"), ("chainId", "uint256"),
                         ("verifyingContract", "address"), ("salt", "bytes32")]
        chosen = [f for f in domain_fields if rng.random() < 0.6]
        domain = {name: self.value(type_, types, 1) for name, type_ in chosen}
        if "chainId" in domain:
            domain["chainId"] = rng.choice([chain_id, str(chain_id), hex(chain_id)])
        if rng.random() < 0.5:
            types["EIP712Domain"] = [{"name": name, "type": type_} for name, type_ in chosen]
        return {"types": types, "primaryType": "Root", "domain": domain, "message": self.value("Root", types, 0)}


@pytest.mark.parametrize("seed", range(6))
def test_random_documents_sign_as_eth_account_signs(vault: str, seed: int) -> None:
    rng = random.Random(seed)
    chain = rng.choice(list(EVM_CHAINS))
    document = Corpus(rng).document(EVM_CHAINS[chain])
    text = json.dumps(document, ensure_ascii=rng.random() < 0.5)
    oracle = Account.sign_typed_data(MAIL["private_key"], full_message=json.loads(text))
    sig = sign(vault, chain, text)
    assert bytes.fromhex(sig["signature"]) == bytes(oracle.signature)
    assert sig["recovery_id"] == oracle.v


def test_checks_come_before_the_wallet_is_opened(vault: str) -> None:
    """Malformed data, the wrong family or a foreign chain id fail without trying the passphrase."""
    mail = MAIL["typed_data"]
    missing = json.loads(json.dumps(mail))
    del missing["message"]["to"]["wallet"]
    cases = [
        ("solana", mail, "invalid input: typed data (EIP-712) is signed on EVM chains only, not solana"),
        ("polygon", mail, "invalid input: typed data: domain.chainId 1 is not the chain id of polygon (137)"),
        ("ethereum", missing, "invalid input: typed data: message.to.wallet: missing"),
        ("ethereum", "[]", "invalid input: typed data: expected a JSON object with types, domain and message"),
    ]
    for chain, document, message in cases:
        with pytest.raises(RuntimeError) as e:
            qel.sign_typed_data("cow", chain, document if isinstance(document, str) else json.dumps(document),
                                passphrase="wrong", vault_path_opt=vault)
        assert str(e.value) == message
    with pytest.raises(RuntimeError) as e:
        qel.sign_typed_data("cow", "ethereum", json.dumps(mail), passphrase="wrong", vault_path_opt=vault)
    assert str(e.value) == "decryption failed: aead::Error"
    assert len(list((Path(vault) / "wallets").glob("*.json"))) == 1
