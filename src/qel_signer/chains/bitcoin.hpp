#pragma once

#include <string>
#include <utility>

#include "qel_signer/hash.hpp"
#include "qel_signer/signer.hpp"

namespace qel_signer::chains {

namespace bitcoin {
// Double SHA-256 of the Bitcoin signed-message form of message.
[[nodiscard]] Hash32 message_digest(ByteSpan message);
}  // namespace bitcoin

// Bitcoin: BIP-84 native segwit (v0) addresses, double SHA-256 transaction
// digests, the Bitcoin signed-message form.
class BitcoinSigner final : public ChainSigner {
public:
    explicit BitcoinSigner(std::string hrp) : hrp_(std::move(hrp)) {}
    [[nodiscard]] qel_core::ChainType chain_type() const override { return qel_core::ChainType::Bitcoin; }
    [[nodiscard]] Curve curve() const override { return Curve::Secp256k1; }
    [[nodiscard]] std::uint32_t coin_type() const override { return 0; }
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
