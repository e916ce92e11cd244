#include "secp256k1.hpp"

#include <secp256k1.h>
#include <secp256k1_recovery.h>
#include <sodium.h>

#include <cstring>
#include <string>

#include "random.hpp"
#include "secret_bytes.hpp"

namespace qel_signer::secp256k1 {

namespace {

SignerError key_error() { return {SignerError::Kind::InvalidPrivateKey, "signature error"}; }

// A private scalar padded to 32 bytes; wiped whatever path leaves the scope.
using PaddedKey = WipedArray<32>;

// Short keys (24..31 bytes) are accepted because some exporters drop leading
// zero bytes of the scalar.
[[nodiscard]] bool load(PaddedKey& out, ByteSpan key) {
    if (key.size() < 24 || key.size() > 32) return false;
    std::memcpy(out.bytes + (32 - key.size()), key.data(), key.size());
    return secp256k1_ec_seckey_verify(context(), out.bytes) == 1;
}

std::expected<secp256k1_pubkey, SignerError> public_key(ByteSpan key) {
    PaddedKey k;
    if (!load(k, key)) return std::unexpected(key_error());
    secp256k1_pubkey pub;
    if (secp256k1_ec_pubkey_create(context(), &pub, k.bytes) != 1) return std::unexpected(key_error());
    return pub;
}

template <std::size_t N>
std::array<std::uint8_t, N> serialize(const secp256k1_pubkey& pub, unsigned flags) {
    std::array<std::uint8_t, N> out{};
    std::size_t len = out.size();
    // Cannot fail for a pubkey produced by the library with a buffer of the right size.
    (void)secp256k1_ec_pubkey_serialize(context(), out.data(), &len, &pub, flags);
    return out;
}

}  // namespace

const secp256k1_context_struct* context() {
    // A function-local static gives one-time, thread-safe creation; the
    // context is never mutated afterwards, so concurrent use is safe.
    static const secp256k1_context* const ctx = [] {
        secp256k1_context* c = secp256k1_context_create(SECP256K1_CONTEXT_SIGN | SECP256K1_CONTEXT_VERIFY);
        std::array<std::uint8_t, 32> seed{};
        // Blinding is a side-channel hardening only; without OS randomness
        // the context still signs correctly, so a failure is not fatal.
        if (fill_random(seed)) {
            [[maybe_unused]] const int blinded = secp256k1_context_randomize(c, seed.data());
        }
        sodium_memzero(seed.data(), seed.size());
        return c;
    }();
    return ctx;
}

std::expected<std::array<std::uint8_t, 33>, SignerError> compressed_public_key(ByteSpan key) {
    auto pub = public_key(key);
    if (!pub) return std::unexpected(pub.error());
    return serialize<33>(*pub, SECP256K1_EC_COMPRESSED);
}

std::expected<std::array<std::uint8_t, 65>, SignerError> uncompressed_public_key(ByteSpan key) {
    auto pub = public_key(key);
    if (!pub) return std::unexpected(pub.error());
    return serialize<65>(*pub, SECP256K1_EC_UNCOMPRESSED);
}

namespace {
std::expected<SignOutput, SignerError> sign_digest_with(ByteSpan key, ByteSpan digest, const std::uint8_t* extra) {
    PaddedKey k;
    if (!load(k, key)) return std::unexpected(key_error());

    // The default nonce function is RFC 6979 (with `extra` as its additional
    // data when given), so equal inputs give equal signatures; the library
    // always emits low-S and adjusts the recovery id when it negates s.
    secp256k1_ecdsa_recoverable_signature sig;
    if (secp256k1_ecdsa_sign_recoverable(context(), &sig, digest.data(), k.bytes, nullptr, extra) != 1) {
        return std::unexpected(SignerError{SignerError::Kind::SigningFailed, "signature error"});
    }
    SignOutput out;
    out.signature.resize(65);
    int recid = -1;
    (void)secp256k1_ecdsa_recoverable_signature_serialize_compact(context(), out.signature.data(), &recid, &sig);
    if (recid < 0 || recid > 3) {
        return std::unexpected(SignerError{SignerError::Kind::SigningFailed, "signature error"});
    }
    out.signature[64] = static_cast<std::uint8_t>(recid);
    out.recovery_id = static_cast<std::uint8_t>(recid);
    return out;
}
}  // namespace

std::expected<SignOutput, SignerError> sign_digest(ByteSpan key, ByteSpan digest, std::string_view digest_word) {
    // The length is reported before the key is looked at.
    if (digest.size() != 32) {
        return std::unexpected(SignerError{SignerError::Kind::InvalidMessage,
                                           "expected 32-byte " + std::string(digest_word) + ", got " +
                                               std::to_string(digest.size()) + " bytes"});
    }
    return sign_digest_with(key, digest, nullptr);
}

std::expected<SignOutput, SignerError> sign_digest_low_r(ByteSpan key, std::span<const std::uint8_t, 32> digest) {
    auto out = sign_digest_with(key, digest, nullptr);
    std::array<std::uint8_t, 32> extra{};
    // Bounded: each try has an even chance; 256 tries all failing is not a
    // thing that happens.
    for (std::uint32_t counter = 1; out && out->signature[0] >= 0x80 && counter <= 256; ++counter) {
        for (int i = 0; i < 4; ++i) extra[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(counter >> (8 * i));
        out = sign_digest_with(key, digest, extra.data());
    }
    return out;
}

std::optional<PublicKey> parse_public_key(ByteSpan public_key) {
    secp256k1_pubkey pub;
    if (public_key.size() != 33 && public_key.size() != 65) return std::nullopt;
    if (secp256k1_ec_pubkey_parse(context(), &pub, public_key.data(), public_key.size()) != 1) return std::nullopt;
    return PublicKey{serialize<33>(pub, SECP256K1_EC_COMPRESSED), serialize<65>(pub, SECP256K1_EC_UNCOMPRESSED)};
}

std::optional<PublicKey> recover_public_key(std::span<const std::uint8_t, 32> digest32,
                                            std::span<const std::uint8_t, 65> signature) {
    const std::uint8_t v = signature[64];
    const int recid = v >= 27 ? v - 27 : v;
    if (recid < 0 || recid > 3) return std::nullopt;
    // The plain form tells a high s apart; the recovery itself would accept it.
    secp256k1_ecdsa_signature plain;
    if (secp256k1_ecdsa_signature_parse_compact(context(), &plain, signature.data()) != 1) return std::nullopt;
    if (secp256k1_ecdsa_signature_normalize(context(), nullptr, &plain) == 1) return std::nullopt;
    secp256k1_ecdsa_recoverable_signature sig;
    if (secp256k1_ecdsa_recoverable_signature_parse_compact(context(), &sig, signature.data(), recid) != 1) {
        return std::nullopt;
    }
    secp256k1_pubkey pub;
    if (secp256k1_ecdsa_recover(context(), &pub, &sig, digest32.data()) != 1) return std::nullopt;
    return PublicKey{serialize<33>(pub, SECP256K1_EC_COMPRESSED), serialize<65>(pub, SECP256K1_EC_UNCOMPRESSED)};
}

bool verify_digest(std::span<const std::uint8_t, 32> digest32, std::span<const std::uint8_t, 64> signature,
                   const PublicKey& public_key) {
    secp256k1_ecdsa_signature sig;
    if (secp256k1_ecdsa_signature_parse_compact(context(), &sig, signature.data()) != 1) return false;
    // libsecp256k1 refuses a high s itself; say so rather than rely on it.
    if (secp256k1_ecdsa_signature_normalize(context(), nullptr, &sig) == 1) return false;
    secp256k1_pubkey pub;
    if (secp256k1_ec_pubkey_parse(context(), &pub, public_key.compressed.data(), public_key.compressed.size()) != 1) {
        return false;
    }
    return secp256k1_ecdsa_verify(context(), &sig, digest32.data(), &pub) == 1;
}

}  // namespace qel_signer::secp256k1
