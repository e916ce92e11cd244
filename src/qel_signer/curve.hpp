#pragma once

#include <cstdint>

namespace qel_signer {

// The signing curve of a chain family; also selects the key derivation
// (BIP-32 for secp256k1, hardened-only SLIP-10 for Ed25519).
enum class Curve : std::uint8_t { Secp256k1 = 0, Ed25519 = 1 };

}  // namespace qel_signer
