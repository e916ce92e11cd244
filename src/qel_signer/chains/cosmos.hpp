#pragma once

#include <string>
#include <utility>

#include "qel_signer/hash.hpp"
#include "qel_signer/signer.hpp"

namespace qel_signer::chains {

namespace cosmos {
// SHA-256 of the message as given: Cosmos messages carry no prefix.
[[nodiscard]] Hash32 message_digest(ByteSpan message);
}  // namespace cosmos

// Cosmos Hub: bech32 HASH160 addresses; messages and transactions signed by
// their SHA-256.
class CosmosSigner final : public ChainSigner {
public:
    explicit CosmosSigner(std::string hrp) : hrp_(std::move(hrp)) {}
    [[nodiscard]] qel_core::ChainType chain_type() const override { return qel_core::ChainType::Cosmos; }
    [[nodiscard]] Curve curve() const override { return Curve::Secp256k1; }
    [[nodiscard]] std::uint32_t coin_type() const override { return 118; }
    [[nodiscard]] std::expected<std::string, SignerError> derive_address(ByteSpan key) const override;
    [[nodiscard]] std::expected<SignOutput, SignerError> sign(ByteSpan key, ByteSpan message) const override;
    [[nodiscard]] std::expected<SignOutput, SignerError> sign_message(ByteSpan key, ByteSpan message) const override;
    [[nodiscard]] std::expected<SignOutput, SignerError> sign_transaction(ByteSpan key, ByteSpan tx) const override;
    [[nodiscard]] std::string default_derivation_path(std::uint32_t index) const override;
    [[nodiscard]] std::expected<std::string, SignerError> address_of_public_key(ByteSpan public_key) const override;

private:
    std::string hrp_;
};

}  // namespace qel_signer::chains
