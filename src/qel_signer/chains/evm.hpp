#pragma once

#include <array>
#include <cstdint>

#include "qel_signer/hash.hpp"
#include "qel_signer/signer.hpp"

namespace qel_signer::chains {

namespace evm {
// The 20-byte account of a secp256k1 key: the last 20 bytes of Keccak-256 of
// the uncompressed public key without its 0x04 prefix. Shared with Tron.
[[nodiscard]] std::expected<std::array<std::uint8_t, 20>, SignerError> account_bytes(ByteSpan key);
// The 20-byte account of an uncompressed public key (0x04 || X || Y).
[[nodiscard]] std::array<std::uint8_t, 20> account_of_public_key(std::span<const std::uint8_t, 65> public_key);
// EIP-55 mixed-case text ("0x" + 40 hex digits) of a 20-byte account.
[[nodiscard]] std::string checksum_address(std::span<const std::uint8_t, 20> account);
// Keccak-256 of the EIP-191 personal-message form of message.
[[nodiscard]] Hash32 message_digest(ByteSpan message);
// Signs a 32-byte digest with the recovery byte written as 27 + recovery id,
// the form wallets give message and typed-data signatures in.
[[nodiscard]] std::expected<SignOutput, SignerError> sign_digest_v27(ByteSpan key, ByteSpan digest);
}  // namespace evm

// Ethereum and every EVM network: EIP-55 addresses, Keccak-256 transaction
// hashes, EIP-191 personal messages, signed typed transactions.
class EvmSigner final : public ChainSigner {
public:
    [[nodiscard]] qel_core::ChainType chain_type() const override { return qel_core::ChainType::Evm; }
    [[nodiscard]] Curve curve() const override { return Curve::Secp256k1; }
    [[nodiscard]] std::uint32_t coin_type() const override { return 60; }
    [[nodiscard]] std::expected<std::string, SignerError> derive_address(ByteSpan key) const override;
    [[nodiscard]] std::expected<SignOutput, SignerError> sign(ByteSpan key, ByteSpan message) const override;
    [[nodiscard]] std::expected<SignOutput, SignerError> sign_message(ByteSpan key, ByteSpan message) const override;
    [[nodiscard]] std::expected<SignOutput, SignerError> sign_transaction(ByteSpan key, ByteSpan tx) const override;
    [[nodiscard]] std::expected<Bytes, SignerError> encode_signed_transaction(
        ByteSpan tx, const SignOutput& output) const override;
    [[nodiscard]] std::string default_derivation_path(std::uint32_t index) const override;
    [[nodiscard]] std::expected<std::string, SignerError> address_of_public_key(ByteSpan public_key) const override;
};

}  // namespace qel_signer::chains
