#pragma once

#include <string>

#include "qel_signer/signer.hpp"

namespace qel_signer::chains {

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
};

}  // namespace qel_signer::chains
