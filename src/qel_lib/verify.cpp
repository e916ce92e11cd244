// Checking a message signature against a claimed signer.

#include "ops.hpp"
#include "qel_signer/encoding.hpp"
#include "qel_signer/verify.hpp"
#include "text.hpp"

namespace qel_lib::ops {

namespace {
constexpr std::size_t kBase64SignatureLength = 88;
}  // namespace

std::expected<bool, QelLibError> verify_message(std::string_view chain, std::string_view message,
                                               std::string_view signature_hex, OptText address,
                                               OptText public_key_hex, OptText encoding) {
    auto resolved = resolve_chain(chain);
    if (!resolved) return std::unexpected(resolved.error());
    auto bytes = message_bytes(message, encoding);
    if (!bytes) return std::unexpected(bytes.error());
    auto signature = qel_signer::hex_decode(strip_0x(signature_hex));
    // 65 bytes in base64, as other wallets show a Bitcoin message signature (BIP-137).
    if (!signature && signature_hex.size() == kBase64SignatureLength) {
        if (auto decoded = qel_signer::base64_decode(signature_hex)) signature = std::move(*decoded);
    }
    if (!signature) return std::unexpected(QelLibError::invalid_input("invalid hex signature: " + signature.error()));
    std::optional<qel_signer::Bytes> public_key;
    if (public_key_hex) {
        auto decoded = qel_signer::hex_decode(strip_0x(*public_key_hex));
        if (!decoded) return std::unexpected(QelLibError::invalid_input("invalid hex public key: " + decoded.error()));
        public_key = std::move(*decoded);
    }
    auto verdict = qel_signer::verify::verify_message(
        resolved->chain_type, *bytes, *signature, address,
        public_key ? std::optional<qel_signer::ByteSpan>(*public_key) : std::nullopt);
    if (!verdict) return std::unexpected(QelLibError::invalid_input(verdict.error()));
    return *verdict;
}

}  // namespace qel_lib::ops
