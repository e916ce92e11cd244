#pragma once

// The encrypted key file that Ethereum tools exchange (Web3 Secret Storage,
// version 3): a secp256k1 key under AES-128-CTR with a key stretched from a
// password by scrypt or PBKDF2-HMAC-SHA256, authenticated by a Keccak-256 MAC.

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "bytes.hpp"
#include "envelope.hpp"
#include "secret_bytes.hpp"

namespace qel_signer::keystore {

// The highest PBKDF2 iteration count a file may ask for: ten times what
// common tools write (one million), a few seconds of work.
inline constexpr std::uint32_t kMaxPbkdf2Iterations = 10'000'000;
// The most scrypt work (N*r*p) a file may ask for: N=2^20 with r=8, p=1,
// a couple of seconds. Tools write N=2^12 to 2^20 with r=8, p=1; the vault's
// own, higher limits are for the vault's own files.
inline constexpr std::uint64_t kMaxScryptWork = std::uint64_t{1} << 23;

// The parts of a keystore that decryption needs, decoded.
struct Keystore {
    enum class Kdf { Scrypt, Pbkdf2 };
    Kdf kdf = Kdf::Scrypt;
    std::uint32_t n = 0, r = 0, p = 0;  // scrypt
    std::uint32_t c = 0;                // PBKDF2 iterations
    std::uint32_t dklen = 0;
    Bytes salt;
    Bytes iv;          // 16 bytes
    Bytes ciphertext;  // 32 bytes
    Bytes mac;         // 32 bytes
    // The 20-byte account the file names, when it names one.
    std::optional<Bytes> address;
};

// Reads the JSON text of a version 3 keystore ("crypto" may be spelt
// "Crypto"; hex may carry "0x"). Unknown members are ignored. Fails with the
// reason, e.g. "missing field `mac`", "unsupported kdf `argon2`",
// "unsupported version 4 (expected 3)", "iv must be 16 bytes, got 12".
[[nodiscard]] std::expected<Keystore, std::string> parse(std::string_view json_text);

// The 32-byte private key. Fails before any key stretching with
// InvalidParams when the scrypt work is above kMaxScryptWork ("scrypt
// parameters n=N r=R p=P are beyond the limit of N*r*p = 8388608 for
// keystores"), the cost is beyond crypto::check_scrypt_cost, or the PBKDF2 iterations are 0 or
// above kMaxPbkdf2Iterations; after it with
// DecryptionFailed "keystore password is wrong or the file is corrupted" when
// the MAC does not match (compared in constant time), "the keystore does not
// hold a valid secp256k1 key", or "the keystore's address does not match its
// key".
[[nodiscard]] std::expected<SecretBytes, crypto::CryptoError> decrypt(const Keystore& keystore,
                                                                      std::string_view password);

// The JSON text of a new keystore of key (a secp256k1 key of 24 to 32
// bytes, left-padded to 32): scrypt N=2^18, r=8, p=1, a fresh salt, IV and
// UUID, the address as 40 lower-case hex digits without "0x". A key the
// curve refuses fails with InvalidParams "not a valid secp256k1 key".
[[nodiscard]] std::expected<std::string, crypto::CryptoError> encrypt(ByteSpan key, std::string_view password);

namespace testing {
// Test-only: encrypt with a cheaper scrypt N.
[[nodiscard]] std::expected<std::string, crypto::CryptoError> encrypt_with_n(ByteSpan key, std::string_view password,
                                                                            std::uint32_t n);
}  // namespace testing

}  // namespace qel_signer::keystore
