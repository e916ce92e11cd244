#pragma once

#include <string>

#include "qel_signer/hash.hpp"
#include "qel_signer/signer.hpp"

namespace qel_signer::chains {

namespace tron {
// Keccak-256 of the Tron signed-message form of message.
[[nodiscard]] Hash32 message_digest(ByteSpan message);
}  // namespace tron

// Tron: base58check addresses (version 0x41), SHA-256 transaction digests,
// the Tron signed-message form.
class TronSigner final : public ChainSigner {
public:
    [[nodiscard]] qel_core::ChainType chain_type() const override { return qel_core::ChainType::Tron; }
    [[nodiscard]] Curve curve() const override { return Curve::Secp256k1; }
    [[nodiscard]] std::uint32_t coin_type() const override { return 195; }
    [[nodiscard]] std::expected<std::string, SignerError> derive_address(ByteSpan key) const override;
    [[nodiscard]] std::expected<SignOutput, SignerError> sign(ByteSpan key, ByteSpan message) const override;
    [[nodiscard]] std::expected<SignOutput, SignerError> sign_message(ByteSpan key, ByteSpan message) const override;
    [[nodiscard]] std::expected<SignOutput, SignerError> sign_transaction(ByteSpan key, ByteSpan tx) const override;
    [[nodiscard]] std::string default_derivation_path(std::uint32_t index) const override;
    [[nodiscard]] std::expected<std::string, SignerError> address_of_public_key(ByteSpan public_key) const override;
};

}  // namespace qel_signer::chains
