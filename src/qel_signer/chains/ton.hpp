#pragma once

#include <string>

#include "qel_signer/signer.hpp"

namespace qel_signer::chains {

// TON: v5r1 wallet-contract addresses (non-bounceable, mainnet, base
// workchain); Ed25519 over the bytes as given.
class TonSigner final : public ChainSigner {
public:
    [[nodiscard]] qel_core::ChainType chain_type() const override { return qel_core::ChainType::Ton; }
    [[nodiscard]] Curve curve() const override { return Curve::Ed25519; }
    [[nodiscard]] std::uint32_t coin_type() const override { return 607; }
    [[nodiscard]] std::expected<std::string, SignerError> derive_address(ByteSpan key) const override;
    [[nodiscard]] std::expected<SignOutput, SignerError> sign(ByteSpan key, ByteSpan message) const override;
    [[nodiscard]] std::expected<SignOutput, SignerError> sign_message(ByteSpan key, ByteSpan message) const override;
    [[nodiscard]] std::expected<SignOutput, SignerError> sign_transaction(ByteSpan key, ByteSpan tx) const override;
    [[nodiscard]] std::string default_derivation_path(std::uint32_t index) const override;
};

}  // namespace qel_signer::chains
