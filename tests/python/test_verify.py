"""verify_message: the inverse of sign_message, checked against independent libraries."""

from __future__ import annotations

import base64
import hashlib
import random

import coincurve
import pytest
from eth_account import Account
from eth_account.messages import encode_defunct
from eth_hash.auto import keccak
from eth_utils import to_checksum_address
from nacl.exceptions import BadSignatureError
from nacl.signing import SigningKey, VerifyKey

import qel
from _support import (
    ABANDON, FAMILY_CHAINS, b58check_encode, b58decode, b58encode, bech32_decode, bech32_encode, convert_bits,
    KNOWN, ton_address,
)

PASS = "verify-pass"
N = 0xFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEBAAEDCE6AF48A03BBFD25E8CD0364141


def claims(family: str, index: int = 0) -> dict:
    """What a verifier knows of the signer: its address, and for TON its key too."""
    account = KNOWN[(family, index)]
    out = {"address": account["address"]}
    if family == "ton":
        out["public_key_hex"] = account["public_key_hex"]
    return out


@pytest.fixture(scope="module")
def signed(tmp_path_factory: pytest.TempPathFactory) -> dict[str, tuple[bytes, str]]:
    """One sign_message signature per family, of a message with non-ASCII text."""
    vault = str(tmp_path_factory.mktemp("verify") / "vault")
    qel.import_wallet_mnemonic("abandon", ABANDON, passphrase=PASS, vault_path_opt=vault)
    out = {}
    for family, chain in FAMILY_CHAINS.items():
        message = f"sign in to {family} ✓".encode()
        sig = qel.sign_message("abandon", chain, message.hex(), passphrase=PASS, encoding="hex", vault_path_opt=vault)
        out[family] = (message, sig["signature"])
    return out


def flip(data: bytes, bit: int) -> bytes:
    out = bytearray(data)
    out[bit // 8] ^= 0x80 >> bit % 8
    return bytes(out)


def address_with_bit_flipped(family: str, address: str, bit: int) -> str:
    """The same kind of address, well formed, for a payload differing in one bit."""
    if family == "evm":
        return to_checksum_address(flip(bytes.fromhex(address[2:]), bit))
    if family == "bitcoin":
        hrp, data5 = bech32_decode(address)
        program = bytes(convert_bits(data5[1:], 5, 8, False))
        return bech32_encode(hrp, [data5[0]] + convert_bits(flip(program, bit), 8, 5, True))
    if family == "cosmos":
        hrp, data5 = bech32_decode(address)
        return bech32_encode(hrp, convert_bits(flip(bytes(convert_bits(data5, 5, 8, False)), bit), 8, 5, True))
    if family == "tron":
        payload = b58decode(address)[:-4]
        return b58check_encode(payload[:1] + flip(payload[1:], bit))
    if family == "solana":
        return b58encode(flip(b58decode(address), bit))
    raw = base64.urlsafe_b64decode(address)
    return ton_address(raw[0], raw[1], flip(raw[2:34], bit))


@pytest.mark.parametrize("family", FAMILY_CHAINS)
def test_accepts_what_sign_message_made_and_nothing_one_bit_away(signed: dict, family: str) -> None:
    chain = FAMILY_CHAINS[family]
    message, sig = signed[family]
    who = claims(family)

    def verify(message_bytes: bytes, signature: str, **claimed: str) -> bool:
        return qel.verify_message(chain, message_bytes.hex(), signature, encoding="hex", **claimed)

    assert qel.verify_message(chain, message.decode(), sig, **who) is True
    assert qel.verify_message(chain, message.decode(), "0x" + sig, **who) is True
    for bit in range(len(message) * 8):
        assert verify(flip(message, bit), sig, **who) is False, bit
    raw = bytes.fromhex(sig)
    for bit in range(len(raw) * 8):
        assert verify(message, flip(raw, bit).hex(), **who) is False, bit
    payload_bits = {"solana": 256, "ton": 256}.get(family, 160)
    for bit in range(payload_bits):
        other = dict(who, address=address_with_bit_flipped(family, who["address"], bit))
        assert verify(message, sig, **other) is False, bit


# ---- agreement with independent libraries on random keys, messages and damage ----

def secp_digest(family: str, message: bytes) -> bytes:
    if family == "bitcoin":
        size = bytes([len(message)]) if len(message) < 253 else b"\xfd" + len(message).to_bytes(2, "little")
        prefixed = b"\x18Bitcoin Signed Message:\n" + size + message
        return hashlib.sha256(hashlib.sha256(prefixed).digest()).digest()
    if family == "cosmos":
        return hashlib.sha256(message).digest()
    return keccak(b"\x19TRON Signed Message:\n" + str(len(message)).encode() + message)


def oracle_secp(family: str, public_key: coincurve.PublicKey, message: bytes, sig: bytes) -> bool:
    """eth-account (EVM) or coincurve recovers the signer; libsecp256k1's own check refuses a high s."""
    if family == "evm":
        digest = keccak(b"\x19Ethereum Signed Message:\n" + str(len(message)).encode() + message)
        address = to_checksum_address(keccak(public_key.format(compressed=False)[1:])[-20:])
        try:
            if Account.recover_message(encode_defunct(primitive=message), signature=sig) != address:
                return False
        except Exception:  # noqa: BLE001 - any refusal is a "no"
            return False
    else:
        digest = secp_digest(family, message)
        try:
            recovered = coincurve.PublicKey.from_signature_and_message(sig, digest, hasher=None)
        except Exception:  # noqa: BLE001
            return False
        if recovered.format() != public_key.format():
            return False
    try:
        return public_key.verify(_der(sig[:32], sig[32:64]), digest, hasher=None)
    except Exception:  # noqa: BLE001
        return False


def _der(r: bytes, s: bytes) -> bytes:
    def integer(b: bytes) -> bytes:
        b = b.lstrip(b"\0") or b"\0"
        if b[0] & 0x80:
            b = b"\0" + b
        return b"\x02" + bytes([len(b)]) + b
    body = integer(r) + integer(s)
    return b"\x30" + bytes([len(body)]) + body


def damaged(rng: random.Random, message: bytes, sig: bytes) -> list[tuple[bytes, bytes]]:
    """(message, signature) pairs: the original, one flipped message bit, one flipped bit of r or s,
    the other recovery id, and for secp256k1 the same signature with a high s."""
    out = [(message, sig), (flip(message, rng.randrange(len(message) * 8)), sig),
           (message, flip(sig, rng.randrange(512)))]
    if len(sig) == 65:
        other_v = sig[64] ^ 1
        out.append((message, sig[:64] + bytes([other_v])))
        high = (N - int.from_bytes(sig[32:64], "big")).to_bytes(32, "big")
        out.append((message, sig[:32] + high + bytes([other_v])))
    return out


@pytest.mark.parametrize("family", ["evm", "bitcoin", "cosmos", "tron"])
def test_secp256k1_verdicts_agree_with_coincurve_and_eth_account(family: str) -> None:
    rng = random.Random(f"secp-{family}")
    for _ in range(25):
        key = coincurve.PrivateKey(rng.randbytes(32))
        message = rng.randbytes(rng.randrange(1, 300))
        if family == "evm":
            sig = bytes(Account.sign_message(encode_defunct(primitive=message), key.secret).signature)
        else:
            sig = key.sign_recoverable(secp_digest(family, message), hasher=None)
        public = key.public_key
        for form in (public.format(), public.format(compressed=False)):
            for msg, candidate in damaged(rng, message, sig):
                expected = oracle_secp(family, public, msg, candidate)
                got = qel.verify_message(FAMILY_CHAINS[family], msg.hex(), candidate.hex(), public_key_hex=form.hex(),
                                         encoding="hex")
                assert got is expected, (msg.hex(), candidate.hex())
        if family == "evm":
            address = Account.from_key(key.secret).address
            assert qel.verify_message("ethereum", message.hex(), sig.hex(), address=address, encoding="hex")
            assert qel.verify_message("ethereum", message.hex(), sig.hex(), address=address.lower(), encoding="hex")


@pytest.mark.parametrize("family", ["solana", "ton"])
def test_ed25519_verdicts_agree_with_pynacl(family: str) -> None:
    rng = random.Random(f"ed-{family}")
    for _ in range(25):
        key = SigningKey(rng.randbytes(32))
        message = rng.randbytes(rng.randrange(1, 300))
        sig = key.sign(message).signature
        public = bytes(key.verify_key)
        for msg, candidate in damaged(rng, message, sig):
            try:
                VerifyKey(public).verify(msg, candidate)
                expected = True
            except BadSignatureError:
                expected = False
            claimed = {"public_key_hex": public.hex()}
            if family == "solana":
                claimed = {"address": b58encode(public)} if rng.random() < 0.5 else claimed
            got = qel.verify_message(FAMILY_CHAINS[family], msg.hex(), candidate.hex(), encoding="hex", **claimed)
            assert got is expected


# ---- what a verifier must say ----

def test_claims() -> None:
    """Address or key, either works where it can; every claim given must hold."""
    key = coincurve.PrivateKey(b"\x07" * 32)
    sig = key.sign_recoverable(hashlib.sha256(b"m").digest(), hasher=None).hex()
    other = KNOWN[("cosmos", 0)]
    assert qel.verify_message("cosmos", "m", sig, public_key_hex=key.public_key.format().hex()) is True
    assert qel.verify_message("cosmos", "m", sig, address=other["address"],
                              public_key_hex=key.public_key.format().hex()) is False
    ton = KNOWN[("ton", 0)]
    raw = base64.urlsafe_b64decode(ton["address"])
    bounceable = ton_address(0x11, 0, raw[2:34])
    seed = bytes.fromhex(ton["private_key_hex"])
    ton_sig = SigningKey(seed).sign(b"m").signature.hex()
    assert qel.verify_message("ton", "m", ton_sig, address=bounceable, public_key_hex=ton["public_key_hex"]) is True
    assert qel.verify_message("ton", "m", ton_sig, address=KNOWN[("ton", 1)]["address"],
                              public_key_hex=ton["public_key_hex"]) is False


UNKNOWN_CHAIN = ("invalid input: unknown chain: 'evm2'. Use a chain name (ethereum, solana, bitcoin, ...) or CAIP-2 ID "
                 "(eip155:1, ...)")


@pytest.mark.parametrize(("args", "kwargs", "message"), [
    (("evm2", "m", "00"), {"address": "x"}, UNKNOWN_CHAIN),
    (("ethereum", "m", "00"), {"address": "x", "encoding": "base64"},
     "invalid input: unsupported encoding: base64 (use 'utf8' or 'hex')"),
    (("ethereum", "0x6d", "00"), {"address": "x", "encoding": "hex"},
     "invalid input: invalid hex message: Invalid character 'x' at position 1"),
    (("ethereum", "m", "abc"), {"address": "x"}, "invalid input: invalid hex signature: Odd number of digits"),
    (("ethereum", "m", "00" * 65), {"public_key_hex": "zz"},
     "invalid input: invalid hex public key: Invalid character 'z' at position 0"),
    (("ethereum", "m", "00" * 65), {}, "invalid input: an address or a public key is needed to verify"),
    (("ton", "m", "00" * 64), {"address": KNOWN[("ton", 0)]["address"]},
     "invalid input: a TON address does not reveal its key: a public key is needed"),
    (("solana", "m", "00" * 65), {"address": KNOWN[("solana", 0)]["address"]},
     "invalid input: expected a 64-byte signature, got 65 bytes"),
    (("bitcoin", "m", "00" * 65), {"address": KNOWN[("cosmos", 0)]["address"].upper()[:-1] + "Q"},
     "invalid input: invalid address: invalid checksum"),
])
def test_malformed_input_raises(args: tuple, kwargs: dict, message: str) -> None:
    with pytest.raises(RuntimeError) as e:
        qel.verify_message(*args, **kwargs)
    assert str(e.value) == message
