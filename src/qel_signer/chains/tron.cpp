#include "tron.hpp"

#include <string>

#include "evm.hpp"
#include "qel_signer/encoding.hpp"
#include "qel_signer/hash.hpp"
#include "qel_signer/secp256k1.hpp"

namespace qel_signer::chains {

namespace {
// base58check of the version byte 0x41 and the 20-byte account.
std::string account_address(std::span<const std::uint8_t, 20> account) {
    std::array<std::uint8_t, 21> payload{0x41};
    std::copy(account.begin(), account.end(), payload.begin() + 1);
    return base58check_encode(payload);
}
}  // namespace

namespace tron {
Hash32 message_digest(ByteSpan message) {
    static constexpr std::string_view kPrefix = "\x19TRON Signed Message:\n";
    Bytes prefixed(kPrefix.begin(), kPrefix.end());
    const std::string length = std::to_string(message.size());
    prefixed.insert(prefixed.end(), length.begin(), length.end());
    prefixed.insert(prefixed.end(), message.begin(), message.end());
    return keccak256(prefixed);
}
}  // namespace tron

std::expected<std::string, SignerError> TronSigner::derive_address(ByteSpan key) const {
    auto account = evm::account_bytes(key);
    if (!account) return std::unexpected(account.error());
    return account_address(*account);
}

std::expected<std::string, SignerError> TronSigner::address_of_public_key(ByteSpan public_key) const {
    const auto pub = secp256k1::parse_public_key(public_key);
    if (!pub) return std::unexpected(SignerError{SignerError::Kind::AddressDerivationFailed, "invalid public key"});
    return account_address(evm::account_of_public_key(pub->uncompressed));
}

std::expected<SignOutput, SignerError> TronSigner::sign(ByteSpan key, ByteSpan message) const {
    return secp256k1::sign_digest(key, message, "hash");
}

std::expected<SignOutput, SignerError> TronSigner::sign_transaction(ByteSpan key, ByteSpan tx) const {
    return sign(key, sha256(tx));
}

std::expected<SignOutput, SignerError> TronSigner::sign_message(ByteSpan key, ByteSpan message) const {
    return sign(key, tron::message_digest(message));
}

std::string TronSigner::default_derivation_path(std::uint32_t index) const {
    return "m/44'/195'/0'/0/" + std::to_string(index);
}

}  // namespace qel_signer::chains
