#include "hd.hpp"

#include <secp256k1.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "hash.hpp"
#include "secp256k1.hpp"

namespace qel_signer {

namespace {

constexpr std::uint32_t kHardened = 0x80000000u;

// Keys, chain codes and HMAC blocks live in wiped scratch buffers.
template <std::size_t N>
using Scratch = WipedArray<N>;

HdError invalid_path(std::string text) { return {HdError::Kind::InvalidPath, std::move(text)}; }
HdError derivation_failed(std::string text) { return {HdError::Kind::DerivationFailed, std::move(text)}; }

std::string quoted(std::string_view s) { return std::string("'").append(s).append("'"); }

// Unsigned 32-bit decimal: optional '+', one or more ASCII digits (leading
// zeros allowed), no overflow.
std::optional<std::uint32_t> parse_u32(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > 0xFFFFFFFFu) return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

std::vector<std::string_view> split(std::string_view text, char sep) {
    std::vector<std::string_view> parts;
    for (;;) {
        const auto pos = text.find(sep);
        parts.push_back(text.substr(0, pos));
        if (pos == std::string_view::npos) return parts;
        text.remove_prefix(pos + 1);
    }
}

std::string_view strip_apostrophes(std::string_view comp) {
    while (!comp.empty() && comp.back() == '\'') comp.remove_suffix(1);
    return comp;
}

// The BIP-32 step's own path reading: at most one hardened marker per
// component. Stricter than the grammar, which strips every apostrophe.
std::optional<std::vector<std::uint32_t>> parse_bip32_indexes(std::string_view path) {
    std::vector<std::uint32_t> indexes;
    for (std::string_view comp : split(path, '/')) {
        if (comp == "m") continue;
        bool hardened = false;
        if (!comp.empty() && (comp.back() == '\'' || comp.back() == 'h')) {
            hardened = true;
            comp.remove_suffix(1);
        }
        const auto n = parse_u32(comp);
        if (!n) return std::nullopt;
        indexes.push_back(hardened ? *n + kHardened : *n);  // wraps modulo 2^32
    }
    return indexes;
}

void put_be32(std::uint8_t* out, std::uint32_t v) {
    out[0] = static_cast<std::uint8_t>(v >> 24);
    out[1] = static_cast<std::uint8_t>(v >> 16);
    out[2] = static_cast<std::uint8_t>(v >> 8);
    out[3] = static_cast<std::uint8_t>(v);
}

std::expected<SecretBytes, HdError> derive_secp256k1(ByteSpan seed, std::string_view path) {
    if (seed.size() < 16) return std::unexpected(derivation_failed("Master key seed generation received <16 bytes"));

    static constexpr std::string_view kMasterKey = "Bitcoin seed";
    Scratch<64> hmac;  // key || chain code
    hmac_sha512({reinterpret_cast<const std::uint8_t*>(kMasterKey.data()), kMasterKey.size()}, seed, hmac.bytes);
    Scratch<32> key;
    Scratch<32> chain;
    std::memcpy(key.bytes, hmac.bytes, 32);
    std::memcpy(chain.bytes, hmac.bytes + 32, 32);
    const auto* ctx = secp256k1::context();
    if (secp256k1_ec_seckey_verify(ctx, key.bytes) != 1) {
        return std::unexpected(derivation_failed("HMAC left segment was 0 or greated than the curve order. How?"));
    }

    const auto indexes = parse_bip32_indexes(path);
    if (!indexes) return std::unexpected(invalid_path("Malformatted index during derivation: " + std::string(path)));

    for (const std::uint32_t index : *indexes) {
        Scratch<37> data;
        if (index >= kHardened) {
            data.bytes[0] = 0;
            std::memcpy(data.bytes + 1, key.bytes, 32);
        } else {
            secp256k1_pubkey pub;
            if (secp256k1_ec_pubkey_create(ctx, &pub, key.bytes) != 1) {
                return std::unexpected(derivation_failed("invalid parent key"));
            }
            std::size_t len = 33;
            (void)secp256k1_ec_pubkey_serialize(ctx, data.bytes, &len, &pub, SECP256K1_EC_COMPRESSED);
        }
        put_be32(data.bytes + 33, index);
        hmac_sha512(chain.span(), data.span(), hmac.bytes);
        // Fails when the tweak is not below n or the sum is zero; BIP-32
        // would skip to the next index, but a caller asking for a specific
        // path must not silently receive another one.
        if (secp256k1_ec_seckey_tweak_add(ctx, key.bytes, hmac.bytes) != 1) {
            return std::unexpected(derivation_failed("child key derivation produced an invalid key"));
        }
        std::memcpy(chain.bytes, hmac.bytes + 32, 32);
    }
    return SecretBytes::from_slice(key.span());
}

std::expected<SecretBytes, HdError> derive_ed25519(ByteSpan seed, std::string_view path) {
    // Indexes first, so that a soft step is refused before any key material exists.
    std::vector<std::uint32_t> indexes;
    if (path != "m") {
        for (std::string_view comp : split(path.substr(2), '/')) {
            if (comp.empty() || comp.back() != '\'') return std::unexpected(HdError{HdError::Kind::HardenedOnly, {}});
            const auto n = parse_u32(strip_apostrophes(comp));
            if (!n) return std::unexpected(invalid_path("invalid index " + quoted(comp) + " in path " + quoted(path)));
            indexes.push_back(*n + kHardened);  // wraps modulo 2^32
        }
    }

    static constexpr std::string_view kMasterKey = "ed25519 seed";
    Scratch<64> hmac;
    hmac_sha512({reinterpret_cast<const std::uint8_t*>(kMasterKey.data()), kMasterKey.size()}, seed, hmac.bytes);
    for (const std::uint32_t index : indexes) {
        Scratch<32> chain;
        std::memcpy(chain.bytes, hmac.bytes + 32, 32);
        Scratch<37> data;
        std::memcpy(data.bytes + 1, hmac.bytes, 32);
        put_be32(data.bytes + 33, index);
        hmac_sha512(chain.span(), data.span(), hmac.bytes);
    }
    return SecretBytes::from_slice({hmac.bytes, 32});
}

}  // namespace

std::string HdError::message() const {
    switch (kind) {
        case Kind::InvalidPath: return "invalid derivation path: " + text;
        case Kind::DerivationFailed: return "derivation failed: " + text;
        case Kind::HardenedOnly: return "ed25519 requires hardened-only derivation";
    }
    return text;
}

std::expected<void, HdError> HdDeriver::validate_path(std::string_view path) {
    if (path == "m") return {};
    if (path.size() <= 1 || !path.starts_with("m/")) {
        return std::unexpected(invalid_path("path must start with 'm/', got " + quoted(path)));
    }
    for (std::string_view comp : split(path.substr(2), '/')) {
        const std::string_view number = strip_apostrophes(comp);
        if (number.empty()) return std::unexpected(invalid_path("empty component in path " + quoted(path)));
        if (!parse_u32(number)) {
            return std::unexpected(invalid_path("invalid index " + quoted(comp) + " in path " + quoted(path)));
        }
    }
    return {};
}

std::expected<SecretBytes, HdError> HdDeriver::derive(ByteSpan seed, std::string_view path, Curve curve) {
    auto valid = validate_path(path);
    if (!valid) return std::unexpected(valid.error());
    switch (curve) {
        case Curve::Secp256k1: return derive_secp256k1(seed, path);
        case Curve::Ed25519: return derive_ed25519(seed, path);
    }
    return std::unexpected(derivation_failed("unknown curve"));
}

std::expected<SecretBytes, HdError> HdDeriver::derive_from_mnemonic(const Mnemonic& mnemonic,
                                                                     std::string_view passphrase,
                                                                     std::string_view path, Curve curve) {
    SecretBytes seed = mnemonic.to_seed(passphrase);
    auto key = derive(seed.as_slice(), path, curve);
    seed.release();  // the destructor would too; do it before the result travels up
    return key;
}

}  // namespace qel_signer
