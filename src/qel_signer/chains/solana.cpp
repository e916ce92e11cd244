#include "solana.hpp"

#include <algorithm>
#include <string>

#include "qel_signer/ed25519.hpp"
#include "qel_signer/encoding.hpp"

namespace qel_signer::chains {
namespace {

constexpr std::size_t kSignatureSize = 64;

SignerError tx_error(std::string text) { return {SignerError::Kind::InvalidTransaction, std::move(text)}; }

}  // namespace

std::expected<std::string, SignerError> SolanaSigner::derive_address(ByteSpan key) const {
    auto pub = ed25519::public_key(key);
    if (!pub) return std::unexpected(pub.error());
    return base58_encode(*pub);
}

std::expected<SignOutput, SignerError> SolanaSigner::sign(ByteSpan key, ByteSpan message) const {
    return ed25519::sign(key, message);
}

std::expected<SignOutput, SignerError> SolanaSigner::sign_message(ByteSpan key, ByteSpan message) const {
    return ed25519::sign(key, message);
}

std::expected<SignOutput, SignerError> SolanaSigner::sign_transaction(ByteSpan key, ByteSpan tx) const {
    return ed25519::sign(key, tx);
}

// Wire form: one byte n, n signature slots of 64 bytes, then the message.
std::expected<ByteSpan, SignerError> SolanaSigner::extract_signable_bytes(ByteSpan tx) const {
    if (tx.empty()) return std::unexpected(tx_error("empty transaction"));
    const std::size_t offset = 1 + kSignatureSize * tx[0];
    if (tx.size() <= offset) return std::unexpected(tx_error("transaction too short for declared signature slots"));
    return tx.subspan(offset);
}

std::expected<Bytes, SignerError> SolanaSigner::encode_signed_transaction(ByteSpan tx,
                                                                          const SignOutput& output) const {
    if (output.signature.size() != kSignatureSize) {
        return std::unexpected(tx_error("expected 64-byte Ed25519 signature"));
    }
    if (tx.empty()) return std::unexpected(tx_error("empty transaction"));
    const std::size_t slots = tx[0];
    if (slots == 0) return std::unexpected(tx_error("transaction has no signature slots"));
    // Every declared slot must be present, even when no message follows.
    if (tx.size() <= kSignatureSize * slots) {
        return std::unexpected(tx_error("transaction too short for declared signature slots"));
    }
    Bytes out(tx.begin(), tx.end());
    std::copy(output.signature.begin(), output.signature.end(), out.begin() + 1);
    return out;
}

std::string SolanaSigner::default_derivation_path(std::uint32_t index) const {
    return "m/44'/501'/" + std::to_string(index) + "'/0'";
}

}  // namespace qel_signer::chains
