#include "verify.hpp"

#include <algorithm>
#include <array>
#include <cctype>

#include "chains/bitcoin.hpp"
#include "chains/bitcoin_message.hpp"
#include "chains/cosmos.hpp"
#include "chains/evm.hpp"
#include "chains/ton.hpp"
#include "chains/tron.hpp"
#include "ed25519.hpp"
#include "encoding.hpp"
#include "secp256k1.hpp"
#include "signer.hpp"

namespace qel_signer::verify {

namespace {

using qel_core::ChainType;

std::unexpected<std::string> fail(std::string text) { return std::unexpected(std::move(text)); }

bool equal_ignoring_case(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
    });
}

// Checks that `address` is written the way the family writes addresses, so
// that a mistyped or foreign address is reported instead of merely not
// matching.
std::expected<void, std::string> check_address_form(ChainType family, std::string_view address) {
    switch (family) {
        case ChainType::Evm: {
            if (address.size() != 42 || !address.starts_with("0x")) {
                return fail("invalid address: expected \"0x\" and 40 hex digits");
            }
            auto account = hex_decode(address.substr(2));
            if (!account) return fail("invalid address: " + account.error());
            const std::string_view digits = address.substr(2);
            const bool lower = std::none_of(digits.begin(), digits.end(), [](char c) { return c >= 'A' && c <= 'F'; });
            const bool upper = std::none_of(digits.begin(), digits.end(), [](char c) { return c >= 'a' && c <= 'f'; });
            if (!lower && !upper &&
                chains::evm::checksum_address(std::span<const std::uint8_t, 20>(account->data(), 20)) != address) {
                return fail("invalid address: EIP-55 checksum mismatch");
            }
            return {};
        }
        case ChainType::Bitcoin: {
            auto parsed = chains::bitcoin::parse_address(address);
            if (!parsed) return fail("invalid address: " + parsed.error());
            return {};
        }
        case ChainType::Cosmos: {
            auto decoded = bech32_decode(address, 90);
            if (!decoded) return fail("invalid address: " + decoded.error());
            return {};
        }
        case ChainType::Tron: {
            auto payload = base58check_decode(address);
            if (!payload) return fail("invalid address: " + payload.error());
            if (payload->size() != 21) return fail("invalid address: expected 21 bytes, got " + std::to_string(payload->size()));
            return {};
        }
        case ChainType::Solana: {
            auto key = base58_decode(address);
            if (!key) return fail("invalid address: " + key.error());
            if (key->size() != 32) return fail("invalid address: expected 32 bytes, got " + std::to_string(key->size()));
            return {};
        }
        case ChainType::Ton: {
            auto account = chains::ton::parse_address(address);
            if (!account) return fail("invalid address: " + account.error());
            return {};
        }
    }
    return fail("invalid address");
}

// Both addresses are well formed; `derived` is the signer's own rendering.
bool same_address(ChainType family, std::string_view claimed, std::string_view derived) {
    switch (family) {
        case ChainType::Evm:
        case ChainType::Bitcoin:
        case ChainType::Cosmos: return equal_ignoring_case(claimed, derived);
        case ChainType::Tron:
        case ChainType::Solana: return claimed == derived;
        case ChainType::Ton: {
            auto a = chains::ton::parse_address(claimed);
            auto b = chains::ton::parse_address(derived);
            return a && b && *a == *b;
        }
    }
    return false;
}

// The digest each secp256k1 family's sign_message signs.
Hash32 message_digest(ChainType family, ByteSpan message) {
    switch (family) {
        case ChainType::Evm: return chains::evm::message_digest(message);
        case ChainType::Bitcoin: return chains::bitcoin::message_digest(message);
        case ChainType::Cosmos: return chains::cosmos::message_digest(message);
        case ChainType::Tron: return chains::tron::message_digest(message);
        case ChainType::Solana:
        case ChainType::Ton: break;
    }
    return {};
}

// Whether the key that signed holds up against every claim; a Bitcoin address
// also has to be of a type that `use` may claim.
bool claims_hold(const ChainSigner& signer, const secp256k1::PublicKey& key, std::optional<std::string_view> address,
                 const std::optional<secp256k1::PublicKey>& claimed_key, chains::bitcoin::KeyUse use) {
    if (claimed_key && claimed_key->compressed != key.compressed) return false;
    if (!address) return true;
    if (signer.chain_type() == ChainType::Bitcoin) {
        const auto parsed = chains::bitcoin::parse_address(*address);
        return parsed && chains::bitcoin::is_address_of(*parsed, key, use);
    }
    auto derived = signer.address_of_public_key(key.compressed);
    return derived && same_address(signer.chain_type(), *address, *derived);
}

// 64 bytes r || s: checked against the given key; on EVM without a key, read
// as EIP-2098 (the y parity in the top bit of s) and the key recovered.
std::expected<bool, std::string> verify_compact(const ChainSigner& signer, const Hash32& digest, ByteSpan signature,
                                                std::optional<std::string_view> address,
                                                const std::optional<secp256k1::PublicKey>& claimed_key) {
    std::array<std::uint8_t, 65> rsv{};
    std::copy(signature.begin(), signature.end(), rsv.begin());
    if (signer.chain_type() == ChainType::Evm) {
        rsv[64] = rsv[32] >> 7;
        rsv[32] &= 0x7f;
    }
    std::optional<secp256k1::PublicKey> key = claimed_key;
    if (key) {
        if (!secp256k1::verify_digest(digest, std::span<const std::uint8_t, 64>(rsv.data(), 64), *key)) return false;
    } else {
        key = secp256k1::recover_public_key(digest, rsv);
        if (!key) return false;
    }
    return claims_hold(signer, *key, address, claimed_key, chains::bitcoin::KeyUse::Compressed);
}

std::expected<bool, std::string> verify_secp256k1(const ChainSigner& signer, ByteSpan message, ByteSpan signature,
                                                  std::optional<std::string_view> address,
                                                  std::optional<ByteSpan> public_key) {
    const ChainType family = signer.chain_type();
    if (signature.size() != 65 && signature.size() != 64) {
        return fail("expected a 65-byte signature (r || s || v) or a 64-byte one (r || s), got " +
                    std::to_string(signature.size()) + " bytes");
    }
    if (signature.size() == 64 && !public_key && family != ChainType::Evm) {
        return fail("a 64-byte signature (r || s) needs the public key to verify");
    }
    std::optional<secp256k1::PublicKey> claimed_key;
    if (public_key) {
        claimed_key = secp256k1::parse_public_key(*public_key);
        if (!claimed_key) return fail("invalid public key: not a 33- or 65-byte SEC1 point of secp256k1");
    }
    if (address) {
        if (auto ok = check_address_form(family, *address); !ok) return std::unexpected(ok.error());
    }
    const Hash32 digest = message_digest(family, message);
    if (signature.size() == 64) return verify_compact(signer, digest, signature, address, claimed_key);
    // This library's own r || s || v; on Bitcoin also BIP-137's header || r || s.
    // Where a signature reads both ways, either reading may match.
    if (const auto key = secp256k1::recover_public_key(digest, signature.first<65>())) {
        if (claims_hold(signer, *key, address, claimed_key, chains::bitcoin::KeyUse::Compressed)) return true;
    }
    if (family != ChainType::Bitcoin) return false;
    const auto header = chains::bitcoin::read_bip137_header(signature[0]);
    if (!header) return false;
    std::array<std::uint8_t, 65> rsv{};
    std::copy(signature.begin() + 1, signature.end(), rsv.begin());
    rsv[64] = header->recovery_id;
    const auto key = secp256k1::recover_public_key(digest, rsv);
    return key && claims_hold(signer, *key, address, claimed_key, header->use);
}

std::expected<bool, std::string> verify_ed25519(const ChainSigner& signer, ByteSpan message, ByteSpan signature,
                                                std::optional<std::string_view> address,
                                                std::optional<ByteSpan> public_key) {
    const ChainType family = signer.chain_type();
    if (family == ChainType::Ton && !public_key) {
        return fail("a TON address does not reveal its key: a public key is needed");
    }
    if (signature.size() != 64) {
        return fail("expected a 64-byte signature, got " + std::to_string(signature.size()) + " bytes");
    }
    if (public_key && public_key->size() != 32) {
        return fail("invalid public key: expected 32 bytes, got " + std::to_string(public_key->size()));
    }
    if (address) {
        if (auto ok = check_address_form(family, *address); !ok) return std::unexpected(ok.error());
    }
    std::array<std::uint8_t, 32> key{};
    if (public_key) {
        std::copy(public_key->begin(), public_key->end(), key.begin());
    } else {
        const Bytes decoded = *base58_decode(*address);  // checked above: 32 bytes
        std::copy(decoded.begin(), decoded.end(), key.begin());
    }
    if (address) {
        auto derived = signer.address_of_public_key(key);
        if (!derived || !same_address(family, *address, *derived)) return false;
    }
    return ed25519::verify(key, message, signature.first<64>());
}

}  // namespace

std::expected<bool, std::string> verify_message(ChainType family, ByteSpan message, ByteSpan signature,
                                                std::optional<std::string_view> address,
                                                std::optional<ByteSpan> public_key) {
    if (!address && !public_key) return fail("an address or a public key is needed to verify");
    const auto signer = signer_for_chain(family);
    switch (signer->curve()) {
        case Curve::Secp256k1: return verify_secp256k1(*signer, message, signature, address, public_key);
        case Curve::Ed25519: return verify_ed25519(*signer, message, signature, address, public_key);
    }
    return false;
}

}  // namespace qel_signer::verify
