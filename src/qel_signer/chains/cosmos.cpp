#include "cosmos.hpp"

#include <string>

#include "qel_signer/encoding.hpp"
#include "qel_signer/hash.hpp"
#include "qel_signer/secp256k1.hpp"

namespace qel_signer::chains {

namespace {
SignerError address_error(std::string text) { return {SignerError::Kind::AddressDerivationFailed, std::move(text)}; }
}  // namespace

std::expected<std::string, SignerError> CosmosSigner::derive_address(ByteSpan key) const {
    auto pub = secp256k1::compressed_public_key(key);
    if (!pub) return std::unexpected(pub.error());
    const Hash20 account = hash160(*pub);
    if (auto ok = bech32_validate_hrp(hrp_); !ok) return std::unexpected(address_error(ok.error()));
    auto data5 = convert_bits(account, 8, 5, true);
    if (!data5) return std::unexpected(address_error(data5.error()));
    auto text = bech32_encode(hrp_, *data5);
    if (!text) return std::unexpected(address_error(text.error()));
    return std::move(*text);
}

std::expected<SignOutput, SignerError> CosmosSigner::sign(ByteSpan key, ByteSpan message) const {
    return secp256k1::sign_digest(key, message, "hash");
}

// Messages carry no prefix: both are signed by the SHA-256 of the bytes as given.
std::expected<SignOutput, SignerError> CosmosSigner::sign_message(ByteSpan key, ByteSpan message) const {
    return sign(key, sha256(message));
}

std::expected<SignOutput, SignerError> CosmosSigner::sign_transaction(ByteSpan key, ByteSpan tx) const {
    return sign_message(key, tx);
}

std::string CosmosSigner::default_derivation_path(std::uint32_t index) const {
    return "m/44'/118'/0'/0/" + std::to_string(index);
}

}  // namespace qel_signer::chains
