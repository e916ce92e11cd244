#pragma once

#include <array>
#include <cstdint>

#include "bytes.hpp"

namespace qel_signer {

using Hash32 = std::array<std::uint8_t, 32>;
using Hash20 = std::array<std::uint8_t, 20>;

// Keccak-256 as Ethereum uses it: Keccak-f[1600], rate 1088 bits, domain
// byte 0x01 (not SHA3-256).
[[nodiscard]] Hash32 keccak256(ByteSpan data);
[[nodiscard]] Hash32 sha256(ByteSpan data);
// SHA-256 of SHA-256.
[[nodiscard]] Hash32 double_sha256(ByteSpan data);
// RIPEMD-160 of SHA-256.
[[nodiscard]] Hash20 hash160(ByteSpan data);
// HMAC-SHA512; the output is secret when the key is, so the caller wipes it.
void hmac_sha512(ByteSpan key, ByteSpan data, std::uint8_t out64[64]);

}  // namespace qel_signer
