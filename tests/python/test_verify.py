"""verify_message: the inverse of sign_message, checked against independent libraries."""

from __future__ import annotations

import random

import coincurve
import coincurve.ecdsa as ecdsa
import pytest
from eth_account import Account
from eth_account.messages import encode_defunct
from nacl.signing import SigningKey, VerifyKey
from solders.pubkey import Pubkey

import qel
from _support import FAMILIES, FAMILY_CHAINS, load, secp_digest

N = 0xFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEBAAEDCE6AF48A03BBFD25E8CD0364141


def flip(data: bytes, bit: int) -> bytes:
    return data[:bit // 8] + bytes([data[bit // 8] ^ 0x80 >> bit % 8]) + data[bit // 8 + 1:]


def oracle(family: str, public: bytes, message: bytes, sig: bytes) -> bool:
    """PyNaCl for Ed25519; for secp256k1 coincurve recovers the signer and libsecp256k1's own check
    refuses a high s."""
    try:
        if family in ("solana", "ton"):
            return VerifyKey(public).verify(message, sig) == message
        digest, sig = secp_digest(family, message), sig[:64] + bytes([sig[64] % 27])
        der = ecdsa.cdata_to_der(ecdsa.deserialize_compact(sig[:64]))
        return (coincurve.PublicKey.from_signature_and_message(sig, digest, hasher=None).format() == public
                and coincurve.PublicKey(public).verify(der, digest, hasher=None))
    except Exception:  # noqa: BLE001 - any refusal is a "no"
        return False


@pytest.mark.parametrize("family", FAMILIES)
def test_verdicts_agree_with_independent_libraries(family: str) -> None:
    """Random keys and messages; the signature as made, then a flipped message bit, a flipped bit of r or s,
    and for secp256k1 the other recovery id, and the same signature with a high s."""
    rng = random.Random(family)
    for _ in range(25):
        secret, message = rng.randbytes(32), rng.randbytes(rng.randrange(1, 300))
        if family in ("solana", "ton"):
            signer = SigningKey(secret)
            public, sig = bytes(signer.verify_key), signer.sign(message).signature
            claims = [{"public_key_hex": public.hex()}] + ([{"address": str(Pubkey(public))}] if family == "solana" else [])
        else:
            key = coincurve.PrivateKey(secret)
            public = key.public_key.format()
            claims = [{"public_key_hex": key.public_key.format(compressed=c).hex()} for c in (True, False)]
            # EVM signatures come from eth-account, so the digest written here is checked by it too.
            sig = (bytes(Account.sign_message(encode_defunct(primitive=message), secret).signature) if family == "evm"
                   else key.sign_recoverable(secp_digest(family, message), hasher=None))
        if family == "evm":
            address = Account.from_key(secret).address
            claims += [{"address": address}, {"address": address.lower()}]
        high = (N - int.from_bytes(sig[32:64], "big")).to_bytes(32, "big")
        for claim in claims:
            tried = [(message, sig), (flip(message, rng.randrange(len(message) * 8)), sig),
                     (message, flip(sig, rng.randrange(512)))]
            if len(sig) == 65:
                tried += [(message, sig[:64] + bytes([sig[64] ^ 1])), (message, sig[:32] + high + bytes([sig[64] ^ 1]))]
            for msg, candidate in tried:
                got = qel.verify_message(FAMILY_CHAINS[family], msg.hex(), candidate.hex(), encoding="hex", **claim)
                assert got is oracle(family, public, msg, candidate), (claim, msg.hex(), candidate.hex())


def test_text_messages_and_prefixed_hex() -> None:
    key = coincurve.PrivateKey(b"\x07" * 32)
    sig = key.sign_recoverable(secp_digest("cosmos", "sign in ✓".encode()), hasher=None).hex()
    public = key.public_key.format().hex()
    assert qel.verify_message("cosmos", "sign in ✓", "0x" + sig, public_key_hex="0x" + public) is True


@pytest.mark.parametrize("vector", load("bip137.json")["vectors"], ids=lambda v: f"{v['header']}-{v['address'][:4]}")
def test_bip137_signatures_of_other_wallets(vector: dict) -> None:
    for signature in (vector["signature_base64"], vector["signature_hex"]):
        assert qel.verify_message("bitcoin", vector["message"], signature, address=vector["address"]) is vector["valid"]


@pytest.mark.parametrize("family", ["evm", "bitcoin", "cosmos", "tron"])
def test_64_byte_signatures_with_a_public_key_and_eip2098(family: str) -> None:
    rng = random.Random(family)
    for _ in range(8):
        key, other, message = coincurve.PrivateKey(rng.randbytes(32)), coincurve.PrivateKey(), rng.randbytes(40)
        sig = key.sign_recoverable(secp_digest(family, message), hasher=None)
        rs, chain = sig[:64].hex(), FAMILY_CHAINS[family]
        for claimed, verdict in ((key, True), (other, False)):
            assert qel.verify_message(chain, message.hex(), rs, encoding="hex",
                                      public_key_hex=claimed.public_key.format().hex()) is verdict
        if family == "evm":  # EIP-2098: the y parity in the top bit of s, recovered without a key
            compact = (sig[:32] + bytes([sig[32] | sig[64] << 7]) + sig[33:64]).hex()
            address = Account.from_key(key.secret).address
            assert qel.verify_message(chain, message.hex(), compact, address=address, encoding="hex") is True
            flipped = compact[:64] + f"{int(compact[64:66], 16) ^ 0x80:02x}" + compact[66:]
            assert qel.verify_message(chain, message.hex(), flipped, address=address, encoding="hex") is False
