#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "bytes.hpp"
#include "curve.hpp"
#include "mnemonic.hpp"
#include "secret_bytes.hpp"

namespace qel_signer {

struct HdError {
    enum class Kind { InvalidPath, DerivationFailed, HardenedOnly };

    Kind kind;
    std::string text;  // unused for HardenedOnly

    // "invalid derivation path: <text>", "derivation failed: <text>" or
    // "ed25519 requires hardened-only derivation".
    [[nodiscard]] std::string message() const;
};

// Hierarchical key derivation: BIP-32 for secp256k1, SLIP-10 for Ed25519.
struct HdDeriver {
    // The path grammar shared by both curves.
    [[nodiscard]] static std::expected<void, HdError> validate_path(std::string_view path);
    // The 32-byte private key at `path` below `seed`.
    [[nodiscard]] static std::expected<SecretBytes, HdError> derive(ByteSpan seed, std::string_view path, Curve curve);
    // Seed from the mnemonic and BIP-39 passphrase, then derive; the seed is
    // wiped on every path.
    [[nodiscard]] static std::expected<SecretBytes, HdError> derive_from_mnemonic(const Mnemonic& mnemonic,
                                                                                 std::string_view passphrase,
                                                                                 std::string_view path, Curve curve);
};

}  // namespace qel_signer
