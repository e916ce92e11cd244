#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <span>

#include "bytes.hpp"
#include "signer.hpp"

namespace qel_signer::ed25519 {

// Public key of a 32-byte RFC 8032 seed; another length gives
// InvalidPrivateKey "expected 32 bytes, got N".
[[nodiscard]] std::expected<std::array<std::uint8_t, 32>, SignerError> public_key(ByteSpan seed);

// Ed25519 over the message as given: 64-byte signature, no recovery id.
[[nodiscard]] std::expected<SignOutput, SignerError> sign(ByteSpan seed, ByteSpan message);

// Whether signature64 is a valid RFC 8032 signature of message under
// public_key (canonical S, no small-order keys or points).
[[nodiscard]] bool verify(std::span<const std::uint8_t, 32> public_key, ByteSpan message,
                          std::span<const std::uint8_t, 64> signature);

}  // namespace qel_signer::ed25519
