#pragma once

#include "qel_signer/signer.hpp"

namespace qel_signer::chains {

// Solana: base58 public-key addresses, Ed25519 over the message part of a
// serialized transaction, signature written into slot 0.
class SolanaSigner final : public ChainSigner {
public:
    [[nodiscard]] qel_core::ChainType chain_type() const override { return qel_core::ChainType::Solana; }
    [[nodiscard]] Curve curve() const override { return Curve::Ed25519; }
    [[nodiscard]] std::uint32_t coin_type() const override { return 501; }
    [[nodiscard]] std::expected<std::string, SignerError> derive_address(ByteSpan key) const override;
    [[nodiscard]] std::expected<SignOutput, SignerError> sign(ByteSpan key, ByteSpan message) const override;
    [[nodiscard]] std::expected<SignOutput, SignerError> sign_message(ByteSpan key, ByteSpan message) const override;
    [[nodiscard]] std::expected<SignOutput, SignerError> sign_transaction(ByteSpan key, ByteSpan tx) const override;
    [[nodiscard]] std::expected<ByteSpan, SignerError> extract_signable_bytes(ByteSpan tx) const override;
    [[nodiscard]] std::expected<Bytes, SignerError> encode_signed_transaction(
        ByteSpan tx, const SignOutput& output) const override;
    [[nodiscard]] std::string default_derivation_path(std::uint32_t index) const override;
};

}  // namespace qel_signer::chains
