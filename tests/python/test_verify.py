"""verify_message: the inverse of sign_message, checked against independent libraries."""

from __future__ import annotations

import hashlib
import random

import coincurve
import coincurve.ecdsa as ecdsa
import pytest
from eth_account import Account
from eth_account.messages import encode_defunct
from eth_hash.auto import keccak
from nacl.exceptions import BadSignatureError
from nacl.signing import SigningKey, VerifyKey

import qel
from _support import FAMILY_CHAINS, b58encode

N = 0xFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEBAAEDCE6AF48A03BBFD25E8CD0364141


def flip(data: bytes, bit: int) -> bytes:
    out = bytearray(data)
    out[bit // 8] ^= 0x80 >> bit % 8
    return bytes(out)


# ---- agreement with independent libraries on random keys, messages and damage ----

def secp_digest(family: str, message: bytes) -> bytes:
    if family == "bitcoin":
        size = bytes([len(message)]) if len(message) < 253 else b"\xfd" + len(message).to_bytes(2, "little")
        return hashlib.sha256(hashlib.sha256(b"\x18Bitcoin Signed Message:\n" + size + message).digest()).digest()
    if family == "cosmos":
        return hashlib.sha256(message).digest()
    prefix = b"\x19Ethereum Signed Message:\n" if family == "evm" else b"\x19TRON Signed Message:\n"
    return keccak(prefix + str(len(message)).encode() + message)


def oracle_secp(digest: bytes, public_key: coincurve.PublicKey, sig: bytes) -> bool:
    """coincurve recovers the signer; libsecp256k1's own check refuses a high s."""
    try:
        recovered = coincurve.PublicKey.from_signature_and_message(sig, digest, hasher=None)
        der = ecdsa.cdata_to_der(ecdsa.deserialize_compact(sig[:64]))
        return recovered.format() == public_key.format() and public_key.verify(der, digest, hasher=None)
    except Exception:  # noqa: BLE001 - any refusal is a "no"
        return False


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
                # The EVM signature comes from eth-account: the digest here is checked by it too.
                expected = oracle_secp(secp_digest(family, msg), public, candidate[:64] + bytes([candidate[64] % 27]))
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
        public = bytes(key.verify_key)
        by_address = family == "solana" and rng.random() < 0.5
        claimed = {"address": b58encode(public)} if by_address else {"public_key_hex": public.hex()}
        for msg, candidate in damaged(rng, message, key.sign(message).signature):
            try:
                expected = VerifyKey(public).verify(msg, candidate) == msg
            except BadSignatureError:
                expected = False
            got = qel.verify_message(FAMILY_CHAINS[family], msg.hex(), candidate.hex(), encoding="hex", **claimed)
            assert got is expected


# ---- what the binding reads and says ----

def test_text_messages_and_prefixed_hex() -> None:
    key = coincurve.PrivateKey(b"\x07" * 32)
    sig = key.sign_recoverable(hashlib.sha256("sign in ✓".encode()).digest(), hasher=None).hex()
    public = key.public_key.format().hex()
    assert qel.verify_message("cosmos", "sign in ✓", "0x" + sig, public_key_hex="0x" + public) is True


@pytest.mark.parametrize(("args", "kwargs", "message"), [
    (("ethereum", "m", "abc"), {"address": "x"}, "invalid input: invalid hex signature: Odd number of digits"),
    (("ethereum", "m", "00" * 65), {"public_key_hex": "zz"},
     "invalid input: invalid hex public key: Invalid character 'z' at position 0"),
    (("ethereum", "m", "00" * 65), {}, "invalid input: an address or a public key is needed to verify"),
])
def test_malformed_input_raises(args: tuple, kwargs: dict, message: str) -> None:
    with pytest.raises(RuntimeError) as e:
        qel.verify_message(*args, **kwargs)
    assert str(e.value) == message
