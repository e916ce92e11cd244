#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <string_view>

#include "bytes.hpp"
#include "signer.hpp"

struct secp256k1_context_struct;

namespace qel_signer::secp256k1 {

// The library's shared context (signing and verification), created and
// randomised once, thread-safe to use afterwards.
[[nodiscard]] const secp256k1_context_struct* context();

// Compressed (33-byte) and uncompressed (65-byte, 0x04 || X || Y) SEC1 public
// keys of a private key. Keys of 24 to 31 bytes are left-padded with zeros;
// any other length, zero or a value >= n gives InvalidPrivateKey
// "signature error".
[[nodiscard]] std::expected<std::array<std::uint8_t, 33>, SignerError> compressed_public_key(ByteSpan key);
[[nodiscard]] std::expected<std::array<std::uint8_t, 65>, SignerError> uncompressed_public_key(ByteSpan key);

// ECDSA over a 32-byte digest: RFC 6979 nonce, low-S, recovery id.
// Output 65 bytes r || s || recid with recovery_id = recid. A digest that is
// not 32 bytes fails first with InvalidMessage
// "expected 32-byte <digest_word>, got N bytes" (digest_word "prehash" for
// EVM, "hash" for the others).
[[nodiscard]] std::expected<SignOutput, SignerError> sign_digest(ByteSpan key, ByteSpan digest,
                                                                 std::string_view digest_word);

// The same for a 32-byte digest, with r below 2^255 as Bitcoin wallets make
// it (one byte shorter in DER): while r's top bit is set, signs again with
// the try's number (1, 2, ...) as 32-byte little-endian additional data for
// RFC 6979.
[[nodiscard]] std::expected<SignOutput, SignerError> sign_digest_low_r(ByteSpan key,
                                                                       std::span<const std::uint8_t, 32> digest);

// A public key in both SEC1 forms.
struct PublicKey {
    std::array<std::uint8_t, 33> compressed;
    std::array<std::uint8_t, 65> uncompressed;  // 0x04 || X || Y
};

// A SEC1 public key given compressed (33 bytes) or uncompressed (65 bytes),
// or nullopt when it is not a point of the curve.
[[nodiscard]] std::optional<PublicKey> parse_public_key(ByteSpan public_key);

// The public key whose owner signed digest32, from a 65-byte r || s || v
// signature (v the recovery id, 0 to 3, or 27 + the recovery id as wallets
// write it). nullopt when the signature cannot be valid: r or s zero or not
// below the group order, s in the upper half (signers emit low-S only),
// another v, or no key recovers.
[[nodiscard]] std::optional<PublicKey> recover_public_key(std::span<const std::uint8_t, 32> digest32,
                                                          std::span<const std::uint8_t, 65> signature);

// Whether the 64-byte r || s signature of digest32 is public_key's; a high s
// never is.
[[nodiscard]] bool verify_digest(std::span<const std::uint8_t, 32> digest32, std::span<const std::uint8_t, 64> signature,
                                 const PublicKey& public_key);

}  // namespace qel_signer::secp256k1
