#include "evm.hpp"

#include <algorithm>
#include <string>

#include "qel_signer/encoding.hpp"
#include "qel_signer/hash.hpp"
#include "qel_signer/rlp.hpp"
#include "qel_signer/secp256k1.hpp"

namespace qel_signer::chains {

namespace evm {

std::expected<std::array<std::uint8_t, 20>, SignerError> account_bytes(ByteSpan key) {
    auto pub = secp256k1::uncompressed_public_key(key);
    if (!pub) return std::unexpected(pub.error());
    return account_of_public_key(*pub);
}

std::array<std::uint8_t, 20> account_of_public_key(std::span<const std::uint8_t, 65> public_key) {
    const Hash32 digest = keccak256(ByteSpan(public_key).subspan(1));
    std::array<std::uint8_t, 20> account{};
    std::copy(digest.end() - 20, digest.end(), account.begin());
    return account;
}

Hash32 message_digest(ByteSpan message) {
    static constexpr std::string_view kPrefix = "\x19" "Ethereum Signed Message:\n";
    Bytes prefixed(kPrefix.begin(), kPrefix.end());
    const std::string length = std::to_string(message.size());
    prefixed.insert(prefixed.end(), length.begin(), length.end());
    prefixed.insert(prefixed.end(), message.begin(), message.end());
    return keccak256(prefixed);
}

std::expected<SignOutput, SignerError> sign_digest_v27(ByteSpan key, ByteSpan digest) {
    auto out = secp256k1::sign_digest(key, digest, "prehash");
    if (!out) return out;
    if (out->recovery_id) {
        const auto v = static_cast<std::uint8_t>(*out->recovery_id + 27);
        out->recovery_id = v;
        out->signature[64] = v;
    }
    return out;
}

std::string checksum_address(std::span<const std::uint8_t, 20> account) {
    const std::string lower = hex_encode(account);
    const std::string hash_hex =
        hex_encode(keccak256({reinterpret_cast<const std::uint8_t*>(lower.data()), lower.size()}));
    std::string out = "0x";
    for (std::size_t i = 0; i < lower.size(); ++i) {
        const char c = lower[i];
        out += (c >= 'a' && hash_hex[i] >= '8') ? static_cast<char>(c - 'a' + 'A') : c;
    }
    return out;
}

}  // namespace evm

std::expected<std::string, SignerError> EvmSigner::derive_address(ByteSpan key) const {
    auto account = evm::account_bytes(key);
    if (!account) return std::unexpected(account.error());
    return evm::checksum_address(*account);
}

std::expected<SignOutput, SignerError> EvmSigner::sign(ByteSpan key, ByteSpan message) const {
    return secp256k1::sign_digest(key, message, "prehash");
}

std::expected<SignOutput, SignerError> EvmSigner::sign_transaction(ByteSpan key, ByteSpan tx) const {
    return sign(key, keccak256(tx));
}

std::expected<SignOutput, SignerError> EvmSigner::sign_message(ByteSpan key, ByteSpan message) const {
    return evm::sign_digest_v27(key, evm::message_digest(message));
}

std::expected<Bytes, SignerError> EvmSigner::encode_signed_transaction(ByteSpan tx, const SignOutput& output) const {
    if (output.signature.size() != 65) {
        return std::unexpected(
            SignerError{SignerError::Kind::InvalidTransaction, "expected 65-byte signature (r || s || v)"});
    }
    const ByteSpan sig(output.signature);
    auto encoded = rlp::encode_signed_typed_tx(tx, sig[64], sig.subspan<0, 32>(), sig.subspan<32, 32>());
    if (!encoded) {
        return std::unexpected(SignerError{SignerError::Kind::InvalidTransaction, std::string(encoded.error())});
    }
    return std::move(*encoded);
}

std::string EvmSigner::default_derivation_path(std::uint32_t index) const {
    return "m/44'/60'/0'/0/" + std::to_string(index);
}

std::expected<std::string, SignerError> EvmSigner::address_of_public_key(ByteSpan public_key) const {
    const auto pub = secp256k1::parse_public_key(public_key);
    if (!pub) return std::unexpected(SignerError{SignerError::Kind::AddressDerivationFailed, "invalid public key"});
    return evm::checksum_address(evm::account_of_public_key(pub->uncompressed));
}

}  // namespace qel_signer::chains
