#include "bitcoin.hpp"

#include <string>

#include "qel_signer/encoding.hpp"
#include "qel_signer/hash.hpp"
#include "qel_signer/secp256k1.hpp"

namespace qel_signer::chains {

namespace {

SignerError address_error(std::string text) { return {SignerError::Kind::AddressDerivationFailed, std::move(text)}; }

void append_compact_size(Bytes& out, std::uint64_t n) {
    auto put_le = [&out](std::uint64_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    };
    if (n < 253) {
        out.push_back(static_cast<std::uint8_t>(n));
    } else if (n <= 0xFFFF) {
        out.push_back(0xFD);
        put_le(n, 2);
    } else if (n <= 0xFFFFFFFF) {
        out.push_back(0xFE);
        put_le(n, 4);
    } else {
        out.push_back(0xFF);
        put_le(n, 8);
    }
}

}  // namespace

std::expected<std::string, SignerError> BitcoinSigner::derive_address(ByteSpan key) const {
    auto pub = secp256k1::compressed_public_key(key);
    if (!pub) return std::unexpected(pub.error());
    const Hash20 program = hash160(*pub);
    if (auto ok = bech32_validate_hrp(hrp_); !ok) return std::unexpected(address_error(ok.error()));
    auto text = segwit_v0_encode(hrp_, program);
    if (!text) return std::unexpected(address_error(text.error()));
    return std::move(*text);
}

std::expected<SignOutput, SignerError> BitcoinSigner::sign(ByteSpan key, ByteSpan message) const {
    return secp256k1::sign_digest(key, message, "hash");
}

std::expected<SignOutput, SignerError> BitcoinSigner::sign_transaction(ByteSpan key, ByteSpan tx) const {
    return sign(key, double_sha256(tx));
}

std::expected<SignOutput, SignerError> BitcoinSigner::sign_message(ByteSpan key, ByteSpan message) const {
    static constexpr std::string_view kPrefix = "\x18" "Bitcoin Signed Message:\n";
    Bytes prefixed(kPrefix.begin(), kPrefix.end());
    append_compact_size(prefixed, message.size());
    prefixed.insert(prefixed.end(), message.begin(), message.end());
    return sign(key, double_sha256(prefixed));
}

std::string BitcoinSigner::default_derivation_path(std::uint32_t index) const {
    return "m/84'/0'/0'/0/" + std::to_string(index);
}

}  // namespace qel_signer::chains
