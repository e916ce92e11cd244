#include "bitcoin.hpp"

#include <string>

#include "bitcoin/psbt.hpp"
#include "qel_signer/encoding.hpp"
#include "qel_signer/hash.hpp"
#include "qel_signer/secp256k1.hpp"

namespace qel_signer::chains {

namespace {

SignerError address_error(std::string text) { return {SignerError::Kind::AddressDerivationFailed, std::move(text)}; }

// P2WPKH: the segwit v0 address of the compressed key's HASH160.
std::expected<std::string, SignerError> p2wpkh_address(const std::string& hrp,
                                                       std::span<const std::uint8_t, 33> public_key) {
    const Hash20 program = hash160(public_key);
    if (auto ok = bech32_validate_hrp(hrp); !ok) return std::unexpected(address_error(ok.error()));
    auto text = segwit_v0_encode(hrp, program);
    if (!text) return std::unexpected(address_error(text.error()));
    return std::move(*text);
}

}  // namespace

namespace bitcoin {
Hash32 message_digest(ByteSpan message) {
    static constexpr std::string_view kPrefix = "\x18" "Bitcoin Signed Message:\n";
    Bytes prefixed(kPrefix.begin(), kPrefix.end());
    bitcoin::put_compact_size(prefixed, message.size());
    prefixed.insert(prefixed.end(), message.begin(), message.end());
    return double_sha256(prefixed);
}
}  // namespace bitcoin

std::expected<std::string, SignerError> BitcoinSigner::derive_address(ByteSpan key) const {
    auto pub = secp256k1::compressed_public_key(key);
    if (!pub) return std::unexpected(pub.error());
    return p2wpkh_address(hrp_, *pub);
}

std::expected<std::string, SignerError> BitcoinSigner::address_of_public_key(ByteSpan public_key) const {
    const auto pub = secp256k1::parse_public_key(public_key);
    if (!pub) return std::unexpected(address_error("invalid public key"));
    return p2wpkh_address(hrp_, pub->compressed);
}

std::expected<SignOutput, SignerError> BitcoinSigner::sign(ByteSpan key, ByteSpan message) const {
    return secp256k1::sign_digest(key, message, "hash");
}

std::expected<SignOutput, SignerError> BitcoinSigner::sign_transaction(ByteSpan key, ByteSpan tx) const {
    return sign(key, double_sha256(tx));
}

std::expected<SignOutput, SignerError> BitcoinSigner::sign_message(ByteSpan key, ByteSpan message) const {
    return sign(key, bitcoin::message_digest(message));
}

std::string BitcoinSigner::default_derivation_path(std::uint32_t index) const {
    return "m/84'/0'/0'/0/" + std::to_string(index);
}

}  // namespace qel_signer::chains
