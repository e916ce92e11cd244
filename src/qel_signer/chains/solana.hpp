#pragma once

#include <cstddef>
#include <expected>
#include <string_view>
#include <vector>

#include "qel_signer/signer.hpp"

namespace qel_signer::chains {

namespace solana {
// The readers below take hostile bytes: they never read outside the span and
// fail with a static text naming the first fault they meet.

// The number of bytes that the legacy or version-0 message at the start of
// `message` occupies, decoded as a node decodes it: an optional version prefix
// (0x80), the three header bytes, the account keys, the recent blockhash, the
// instructions and, for version 0, the address-table lookups; every count is a
// canonical compact-u16. Bytes after the message are not looked at. Fails with
// "truncated message", "invalid compact-u16" or "unsupported message version
// (expected legacy or 0)".
[[nodiscard]] std::expected<std::size_t, std::string_view> read_message(ByteSpan message);

// Checks that `tx` is a transaction whose message a node reads exactly as it
// is signed: one count byte n of 1 to 127 signature slots (the count is a
// compact-u16, which is one byte only below 128), n slots of 64 bytes, then one
// message that ends where `tx` ends. Fails with "empty transaction",
// "transaction has no signature slots", "more than 127 signature slots",
// "transaction too short for declared signature slots", "trailing bytes after
// the message", or a text of read_message.
[[nodiscard]] std::expected<void, std::string_view> check_transaction(ByteSpan tx);

// What a transaction's message (which check_transaction accepted) says about
// who signs and what runs: the number of required signers (the first keys,
// the fee payer first), the static account keys and the instructions, each
// viewing `tx`; empty for a transaction check_transaction refuses.
struct Instruction {
    std::uint8_t program;  // index into the keys (then the looked-up ones)
    ByteSpan accounts;     // one index a byte
    ByteSpan data;
};
struct MessageView {
    std::size_t required_signatures = 0;
    std::vector<ByteSpan> keys;
    std::vector<Instruction> instructions;
};
[[nodiscard]] MessageView view_message(ByteSpan tx);

// The signature slot that `public_key` fills in `tx` (which check_transaction
// accepted): its position among the message's required signers, the first
// account keys. Fails with "this account is not a signer of the transaction"
// or "fewer signature slots than required signers".
[[nodiscard]] std::expected<std::size_t, std::string_view> signer_slot(ByteSpan tx, ByteSpan public_key);
}  // namespace solana

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
    [[nodiscard]] std::expected<std::string, SignerError> address_of_public_key(ByteSpan public_key) const override;
};

}  // namespace qel_signer::chains
