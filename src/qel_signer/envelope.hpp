#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "bytes.hpp"
#include "secret_bytes.hpp"

namespace qel_signer::crypto {

struct CryptoError {
    enum class Kind { EncryptionFailed, DecryptionFailed, InvalidParams };

    Kind kind;
    std::string text;

    // "encryption failed: ", "decryption failed: " or "invalid parameters: " + text.
    [[nodiscard]] std::string message() const;
};

struct CipherParams {
    std::string iv;  // hex of the 12-byte GCM nonce
};

struct KdfParams {
    std::uint32_t dklen = 32;
    std::uint32_t n = 262144;
    std::uint32_t r = 8;
    std::uint32_t p = 1;
    std::string salt;  // hex of 32 random bytes
};

// The sealed secret as stored in a wallet file's "crypto" member.
struct CryptoEnvelope {
    std::string cipher;  // "aes-256-gcm"
    CipherParams cipherparams;
    std::string ciphertext;  // hex, as many bytes as the secret
    std::string auth_tag;  // hex of the 16-byte tag
    std::string kdf;  // "scrypt"
    KdfParams kdfparams;

    // A JSON object with the six members (generic value: sorted by name).
    [[nodiscard]] nlohmann::json to_json() const;
    // Reads by member name; other members ignored. Fails with
    // "missing field `name`", "invalid type: <found>, expected <wanted>" for
    // a member of the wrong JSON type, or "invalid value: integer `v`,
    // expected u32" for an integer outside 0..4294967295.
    [[nodiscard]] static std::expected<CryptoEnvelope, std::string> from_json(const nlohmann::json& value);
};

// The scrypt cost any stored file (our envelopes, imported keystores) may ask
// for: InvalidParams "invalid scrypt parameters" beyond the construction's
// own limits (N a power of two above 1, r and p at least 1, r p < 2^30), or
// "scrypt parameters need M bytes of memory, above the limit of L bytes"
// beyond 1 GiB of working memory.
[[nodiscard]] std::expected<void, CryptoError> check_scrypt_cost(std::uint32_t n, std::uint32_t r, std::uint32_t p);

// scrypt (RFC 7914) of passphrase and salt into out, whatever its length.
// Does not check the cost: callers run check_scrypt_cost first. On failure
// out is wiped and the reason returned.
[[nodiscard]] std::expected<void, std::string> scrypt(std::string_view passphrase, ByteSpan salt, std::uint32_t n,
                                                      std::uint32_t r, std::uint32_t p, std::span<std::uint8_t> out);

// Seals plaintext under passphrase: scrypt N=2^18, r=8, p=1 into a 32-byte
// key, AES-256-GCM with a random 12-byte nonce, random 32-byte salt.
[[nodiscard]] std::expected<CryptoEnvelope, CryptoError> encrypt(ByteSpan plaintext, std::string_view passphrase);

// Opens an envelope. Checks, in order: hex of salt, iv, ciphertext,
// auth_tag; N power of two; N, r, p minimums; dklen exactly 32; scrypt limits;
// working memory at most 1 GiB, the p-sized buffer (128 r p) at most 64 MiB and
// N r p at most 2^27 (64 times the default); iv of 12 bytes; then the GCM tag.
[[nodiscard]] std::expected<SecretBytes, CryptoError> decrypt(const CryptoEnvelope& envelope,
                                                              std::string_view passphrase);

namespace testing {
// Test-only: encrypt with cheaper scrypt parameters, to exercise the
// envelope logic quickly. decrypt() refuses what this writes unless the
// parameters meet the minimums.
[[nodiscard]] std::expected<CryptoEnvelope, CryptoError> encrypt_with_params(ByteSpan plaintext,
                                                                             std::string_view passphrase,
                                                                             std::uint32_t n, std::uint32_t r,
                                                                             std::uint32_t p);
// Test-only: decrypt() with lower minimums for N and r, so that a fuzzer
// reaches the cipher with cheap parameters; every other check is the same.
[[nodiscard]] std::expected<SecretBytes, CryptoError> decrypt_with_minimums(const CryptoEnvelope& envelope,
                                                                           std::string_view passphrase,
                                                                           std::uint32_t min_n, std::uint32_t min_r);
}  // namespace testing

}  // namespace qel_signer::crypto
