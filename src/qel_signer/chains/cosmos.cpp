#include "cosmos.hpp"

#include <string>

#include "qel_signer/encoding.hpp"
#include "qel_signer/hash.hpp"
#include "qel_signer/secp256k1.hpp"

namespace qel_signer::chains {

namespace {
SignerError address_error(std::string text) { return {SignerError::Kind::AddressDerivationFailed, std::move(text)}; }

// bech32 of the compressed key's HASH160.
std::expected<std::string, SignerError> account_address(const std::string& hrp,
                                                        std::span<const std::uint8_t, 33> public_key) {
    const Hash20 account = hash160(public_key);
    if (auto ok = bech32_validate_hrp(hrp); !ok) return std::unexpected(address_error(ok.error()));
    auto data5 = convert_bits(account, 8, 5, true);
    if (!data5) return std::unexpected(address_error(data5.error()));
    auto text = bech32_encode(hrp, *data5);
    if (!text) return std::unexpected(address_error(text.error()));
    return std::move(*text);
}
}  // namespace

namespace cosmos {
Hash32 message_digest(ByteSpan message) { return sha256(message); }
}  // namespace cosmos

std::expected<std::string, SignerError> CosmosSigner::derive_address(ByteSpan key) const {
    auto pub = secp256k1::compressed_public_key(key);
    if (!pub) return std::unexpected(pub.error());
    return account_address(hrp_, *pub);
}

std::expected<std::string, SignerError> CosmosSigner::address_of_public_key(ByteSpan public_key) const {
    const auto pub = secp256k1::parse_public_key(public_key);
    if (!pub) return std::unexpected(address_error("invalid public key"));
    return account_address(hrp_, pub->compressed);
}

std::expected<SignOutput, SignerError> CosmosSigner::sign(ByteSpan key, ByteSpan message) const {
    return secp256k1::sign_digest(key, message, "hash");
}

// Messages carry no prefix: both are signed by the SHA-256 of the bytes as given.
std::expected<SignOutput, SignerError> CosmosSigner::sign_message(ByteSpan key, ByteSpan message) const {
    return sign(key, cosmos::message_digest(message));
}

std::expected<SignOutput, SignerError> CosmosSigner::sign_transaction(ByteSpan key, ByteSpan tx) const {
    return sign_message(key, tx);
}

std::string CosmosSigner::default_derivation_path(std::uint32_t index) const {
    return "m/44'/118'/0'/0/" + std::to_string(index);
}

}  // namespace qel_signer::chains
