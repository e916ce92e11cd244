#include "ed25519.hpp"

#include <string>

#include <sodium.h>

#include "secret_bytes.hpp"

namespace qel_signer::ed25519 {
namespace {

// The RFC 8032 expanded secret (seed || public key), wiped however the scope ends.
using ExpandedKey = WipedArray<crypto_sign_SECRETKEYBYTES>;

std::expected<void, SignerError> check_seed(ByteSpan seed) {
    if (seed.size() != crypto_sign_SEEDBYTES) {
        return std::unexpected(SignerError{SignerError::Kind::InvalidPrivateKey,
                                           "expected 32 bytes, got " + std::to_string(seed.size())});
    }
    // Idempotent and thread-safe; picks the fastest implementation once.
    static const bool ready = sodium_init() >= 0;
    if (!ready) return std::unexpected(SignerError{SignerError::Kind::SigningFailed, "libsodium unavailable"});
    return {};
}

}  // namespace

std::expected<std::array<std::uint8_t, 32>, SignerError> public_key(ByteSpan seed) {
    if (auto ok = check_seed(seed); !ok) return std::unexpected(ok.error());
    std::array<std::uint8_t, 32> pk{};
    ExpandedKey sk;
    crypto_sign_seed_keypair(pk.data(), sk.bytes, seed.data());
    return pk;
}

std::expected<SignOutput, SignerError> sign(ByteSpan seed, ByteSpan message) {
    if (auto ok = check_seed(seed); !ok) return std::unexpected(ok.error());
    unsigned char pk[crypto_sign_PUBLICKEYBYTES];
    ExpandedKey sk;
    crypto_sign_seed_keypair(pk, sk.bytes, seed.data());
    SignOutput out{Bytes(crypto_sign_BYTES), std::nullopt};
    crypto_sign_detached(out.signature.data(), nullptr, message.data(), message.size(), sk.bytes);
    return out;
}

bool verify(std::span<const std::uint8_t, 32> public_key, ByteSpan message, std::span<const std::uint8_t, 64> signature) {
    static const bool ready = sodium_init() >= 0;
    if (!ready) return false;
    return crypto_sign_verify_detached(signature.data(), message.data(), message.size(), public_key.data()) == 0;
}

}  // namespace qel_signer::ed25519
