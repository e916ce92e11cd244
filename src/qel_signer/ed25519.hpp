#pragma once

#include <array>
#include <cstdint>
#include <expected>

#include "bytes.hpp"
#include "signer.hpp"

namespace qel_signer::ed25519 {

// Public key of a 32-byte RFC 8032 seed; another length gives
// InvalidPrivateKey "expected 32 bytes, got N".
[[nodiscard]] std::expected<std::array<std::uint8_t, 32>, SignerError> public_key(ByteSpan seed);

// Ed25519 over the message as given: 64-byte signature, no recovery id.
[[nodiscard]] std::expected<SignOutput, SignerError> sign(ByteSpan seed, ByteSpan message);

}  // namespace qel_signer::ed25519
