#include "envelope.hpp"

#include <array>
#include <cerrno>
#include <climits>
#include <memory>

#include <openssl/evp.h>
#include <sodium.h>

#include "encoding.hpp"
#include "qel_core/os_error.hpp"
#include "random.hpp"
#include "scrypt.hpp"

namespace qel_signer::crypto {

namespace {

constexpr std::uint32_t kDefaultN = 262144;
constexpr std::uint32_t kMinR = 8;
constexpr std::uint32_t kMinP = 1;
constexpr std::uint32_t kKeySize = 32;
constexpr std::size_t kSaltSize = 32;
constexpr std::size_t kNonceSize = 12;
constexpr std::size_t kTagSize = 16;
// A stored file may ask for more scrypt memory than is sensible to grant.
constexpr std::uint64_t kMaxScryptMemory = std::uint64_t{1} << 30;
// p sizes a second buffer (128 r p bytes) and multiplies the time; unbounded,
// a file could make one unlock take gigabytes or days. The limits leave room
// for 64 times the default work (N = 2^20 with r = 8, or p up to 64).
constexpr std::uint64_t kMaxScryptParallelMemory = std::uint64_t{64} << 20;
constexpr std::uint64_t kMaxScryptWork = std::uint64_t{64} * kDefaultN * kMinR * kMinP;  // N r p

const char* const kAeadError = "aead::Error";
const char* const kEmDash = "\xE2\x80\x94";

CryptoError err(CryptoError::Kind kind, std::string text) { return CryptoError{kind, std::move(text)}; }
CryptoError invalid_params(std::string text) { return err(CryptoError::Kind::InvalidParams, std::move(text)); }

struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }  // cleanses the key schedule
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

// The derived key, wiped on every way out.
using Key = WipedArray<kKeySize>;

struct WipedBytes {
    Bytes bytes;
    ~WipedBytes() { sodium_memzero(bytes.data(), bytes.size()); }
};

// The limits the scrypt construction itself imposes (RFC 7914): N a power of
// two above 1, r p < 2^30, and 128 r N and 128 r p representable in 64 bits.
// RFC 7914 also asks for N < 2^(16 r); the implementation does not need it
// and published keystores exceed it (N = 2^18 with r = 1). Our own envelopes
// require r >= 8, under which it always holds.
bool scrypt_params_valid(std::uint32_t n, std::uint32_t r, std::uint32_t p) {
    if (n < 2 || (n & (n - 1)) != 0 || r == 0 || p == 0) return false;
    if (std::uint64_t{r} * p >= (std::uint64_t{1} << 30)) return false;
    const std::uint64_t block = std::uint64_t{128} * r;
    return n <= UINT64_MAX / block && p <= UINT64_MAX / block;
}

}  // namespace

std::expected<void, CryptoError> check_scrypt_cost(std::uint32_t n, std::uint32_t r, std::uint32_t p) {
    if (!scrypt_params_valid(n, r, p)) return std::unexpected(invalid_params("invalid scrypt parameters"));
    const std::uint64_t memory = std::uint64_t{128} * r * n;
    if (memory > kMaxScryptMemory) {
        return std::unexpected(invalid_params("scrypt parameters need " + std::to_string(memory) +
                                              " bytes of memory, above the limit of " +
                                              std::to_string(kMaxScryptMemory) + " bytes"));
    }
    const std::uint64_t parallel_memory = std::uint64_t{128} * r * p;
    if (parallel_memory > kMaxScryptParallelMemory) {
        return std::unexpected(invalid_params("scrypt parameters need " + std::to_string(parallel_memory) +
                                              " bytes of parallel buffers, above the limit of " +
                                              std::to_string(kMaxScryptParallelMemory) + " bytes"));
    }
    const std::uint64_t work = std::uint64_t{n} * r * p;  // below 2^62 once r p < 2^30
    if (work > kMaxScryptWork) {
        return std::unexpected(invalid_params("scrypt parameters need work N*r*p = " + std::to_string(work) +
                                              ", above the limit of " + std::to_string(kMaxScryptWork)));
    }
    return {};
}

std::expected<void, std::string> scrypt(std::string_view passphrase, ByteSpan salt, std::uint32_t n,
                                        std::uint32_t r, std::uint32_t p, std::span<std::uint8_t> out) {
    return scrypt_pooled(passphrase, salt, n, r, p, out);
}

namespace {

// Runs scrypt into key; on failure returns the reason.
std::expected<void, std::string> derive_key(std::string_view passphrase, ByteSpan salt, std::uint32_t n,
                                            std::uint32_t r, std::uint32_t p, Key& key) {
    return scrypt(passphrase, salt, n, r, p, {key.bytes, key.size()});
}

// Sets up AES-256-GCM with a 12-byte nonce, then wipes the key.
CipherCtx make_gcm(Key& key, ByteSpan nonce, bool encrypting) {
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    const int enc = encrypting ? 1 : 0;
    const bool ok = ctx && EVP_CipherInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr, enc) == 1 &&
                    EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(nonce.size()),
                                        nullptr) == 1 &&
                    EVP_CipherInit_ex(ctx.get(), nullptr, nullptr, key.bytes, nonce.data(), enc) == 1;
    wipe(key.bytes, key.size());
    if (!ok) ctx.reset();
    return ctx;
}

std::expected<CryptoEnvelope, CryptoError> seal(ByteSpan plaintext, std::string_view passphrase, std::uint32_t n,
                                                std::uint32_t r, std::uint32_t p) {
    std::array<std::uint8_t, kSaltSize> salt{};
    std::array<std::uint8_t, kNonceSize> nonce{};
    if (auto ok = fill_random(salt); !ok) return std::unexpected(err(CryptoError::Kind::EncryptionFailed, ok.error()));
    if (auto ok = fill_random(nonce); !ok) return std::unexpected(err(CryptoError::Kind::EncryptionFailed, ok.error()));
    if (auto ok = check_scrypt_cost(n, r, p); !ok) return std::unexpected(ok.error());

    Key key;
    if (auto ok = derive_key(passphrase, salt, n, r, p, key); !ok) {
        return std::unexpected(err(CryptoError::Kind::EncryptionFailed, ok.error()));
    }
    const CipherCtx ctx = make_gcm(key, nonce, true);
    const auto aead_failed = [] { return std::unexpected(err(CryptoError::Kind::EncryptionFailed, kAeadError)); };
    if (!ctx || plaintext.size() > INT_MAX) return aead_failed();

    Bytes ciphertext(plaintext.size());
    int len = 0;
    if (!plaintext.empty() && (EVP_EncryptUpdate(ctx.get(), ciphertext.data(), &len, plaintext.data(),
                                                 static_cast<int>(plaintext.size())) != 1 ||
                               static_cast<std::size_t>(len) != plaintext.size())) {
        return aead_failed();
    }
    std::array<std::uint8_t, kTagSize> tag{};
    int final_len = 0;
    if (EVP_EncryptFinal_ex(ctx.get(), ciphertext.data() + ciphertext.size(), &final_len) != 1 || final_len != 0 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, kTagSize, tag.data()) != 1) {
        return aead_failed();
    }

    CryptoEnvelope envelope;
    envelope.cipher = "aes-256-gcm";
    envelope.cipherparams.iv = hex_encode(nonce);
    envelope.ciphertext = hex_encode(ciphertext);
    envelope.auth_tag = hex_encode(tag);
    envelope.kdf = "scrypt";
    envelope.kdfparams = KdfParams{kKeySize, n, r, p, hex_encode(salt)};
    return envelope;
}

// ---- reading the JSON form ----

std::string describe(const nlohmann::json& v) {
    switch (v.type()) {
        case nlohmann::json::value_t::null:
            return "null";
        case nlohmann::json::value_t::boolean:
            return std::string("boolean `") + (v.get<bool>() ? "true" : "false") + "`";
        case nlohmann::json::value_t::number_integer:
        case nlohmann::json::value_t::number_unsigned:
            return "integer `" + v.dump() + "`";
        case nlohmann::json::value_t::number_float:
            return "floating point `" + v.dump() + "`";
        case nlohmann::json::value_t::string:
            return "string " + v.dump();
        case nlohmann::json::value_t::array:
        case nlohmann::json::value_t::binary:
            return "sequence";
        case nlohmann::json::value_t::object:
            return "map";
        case nlohmann::json::value_t::discarded:
            break;
    }
    return "value";
}

std::string invalid_type(const nlohmann::json& v, std::string_view expected) {
    return "invalid type: " + describe(v) + ", expected " + std::string(expected);
}

std::expected<const nlohmann::json*, std::string> member(const nlohmann::json& object, const char* name) {
    const auto it = object.find(name);
    if (it == object.end()) return std::unexpected("missing field `" + std::string(name) + "`");
    return &*it;
}

std::expected<std::string, std::string> string_member(const nlohmann::json& object, const char* name) {
    auto m = member(object, name);
    if (!m) return std::unexpected(m.error());
    if (!(*m)->is_string()) return std::unexpected(invalid_type(**m, "a string"));
    return (*m)->get<std::string>();
}

std::expected<std::uint32_t, std::string> u32_member(const nlohmann::json& object, const char* name) {
    auto m = member(object, name);
    if (!m) return std::unexpected(m.error());
    const nlohmann::json& v = **m;
    // The parser stores non-negative literals as unsigned, but values built
    // in code may hold them as signed.
    if (!v.is_number_integer()) return std::unexpected(invalid_type(v, "u32"));
    if (v.is_number_unsigned() ? v.get<std::uint64_t>() > UINT32_MAX : v.get<std::int64_t>() < 0) {
        return std::unexpected("invalid value: " + describe(v) + ", expected u32");
    }
    return v.get<std::uint32_t>();
}

std::expected<const nlohmann::json*, std::string> object_member(const nlohmann::json& object, const char* name,
                                                                std::string_view type_name) {
    auto m = member(object, name);
    if (!m) return std::unexpected(m.error());
    if (!(*m)->is_object()) return std::unexpected(invalid_type(**m, type_name));
    return *m;
}

}  // namespace

std::string CryptoError::message() const {
    switch (kind) {
        case Kind::EncryptionFailed:
            return "encryption failed: " + text;
        case Kind::DecryptionFailed:
            return "decryption failed: " + text;
        case Kind::InvalidParams:
            return "invalid parameters: " + text;
    }
    return text;
}

nlohmann::json CryptoEnvelope::to_json() const {
    return nlohmann::json{
        {"cipher", cipher},
        {"cipherparams", {{"iv", cipherparams.iv}}},
        {"ciphertext", ciphertext},
        {"auth_tag", auth_tag},
        {"kdf", kdf},
        {"kdfparams",
         {{"dklen", kdfparams.dklen},
          {"n", kdfparams.n},
          {"r", kdfparams.r},
          {"p", kdfparams.p},
          {"salt", kdfparams.salt}}},
    };
}

std::expected<CryptoEnvelope, std::string> CryptoEnvelope::from_json(const nlohmann::json& value) {
    if (!value.is_object()) return std::unexpected(invalid_type(value, "struct CryptoEnvelope"));
    CryptoEnvelope e;
    auto cipher = string_member(value, "cipher");
    if (!cipher) return std::unexpected(cipher.error());
    e.cipher = std::move(*cipher);

    auto cipherparams = object_member(value, "cipherparams", "struct CipherParams");
    if (!cipherparams) return std::unexpected(cipherparams.error());
    auto iv = string_member(**cipherparams, "iv");
    if (!iv) return std::unexpected(iv.error());
    e.cipherparams.iv = std::move(*iv);

    auto ciphertext = string_member(value, "ciphertext");
    if (!ciphertext) return std::unexpected(ciphertext.error());
    e.ciphertext = std::move(*ciphertext);

    auto auth_tag = string_member(value, "auth_tag");
    if (!auth_tag) return std::unexpected(auth_tag.error());
    e.auth_tag = std::move(*auth_tag);

    auto kdf = string_member(value, "kdf");
    if (!kdf) return std::unexpected(kdf.error());
    e.kdf = std::move(*kdf);

    auto kdfparams = object_member(value, "kdfparams", "struct KdfParams");
    if (!kdfparams) return std::unexpected(kdfparams.error());
    const nlohmann::json& kp = **kdfparams;
    std::uint32_t* const numbers[] = {&e.kdfparams.dklen, &e.kdfparams.n, &e.kdfparams.r, &e.kdfparams.p};
    const char* const names[] = {"dklen", "n", "r", "p"};
    for (std::size_t i = 0; i < 4; ++i) {
        auto v = u32_member(kp, names[i]);
        if (!v) return std::unexpected(v.error());
        *numbers[i] = *v;
    }
    auto salt = string_member(kp, "salt");
    if (!salt) return std::unexpected(salt.error());
    e.kdfparams.salt = std::move(*salt);
    return e;
}

std::expected<CryptoEnvelope, CryptoError> encrypt(ByteSpan plaintext, std::string_view passphrase) {
    return seal(plaintext, passphrase, kDefaultN, kMinR, kMinP);
}

namespace {

// decrypt() with the minimums for N and r as arguments.
std::expected<SecretBytes, CryptoError> open_envelope(const CryptoEnvelope& envelope, std::string_view passphrase,
                                                      std::uint32_t min_n, std::uint32_t min_r) {
    const std::string* const hex_members[] = {&envelope.kdfparams.salt, &envelope.cipherparams.iv,
                                              &envelope.ciphertext, &envelope.auth_tag};
    Bytes decoded[4];
    for (std::size_t i = 0; i < 4; ++i) {
        auto d = hex_decode(*hex_members[i]);
        if (!d) return std::unexpected(invalid_params(d.error()));
        decoded[i] = std::move(*d);
    }
    const Bytes& salt = decoded[0];
    const Bytes& nonce = decoded[1];

    const KdfParams& kp = envelope.kdfparams;
    const auto below = [](const char* what, std::uint32_t got, std::uint32_t min) {
        return invalid_params(std::string(what) + std::to_string(got) + " is below minimum " + std::to_string(min) +
                              " " + kEmDash + " possible downgrade attack");
    };
    if (kp.n == 0 || (kp.n & (kp.n - 1)) != 0) {
        return std::unexpected(invalid_params("scrypt N must be a power of 2, got " + std::to_string(kp.n)));
    }
    if (kp.n < min_n) return std::unexpected(below("scrypt N=", kp.n, min_n));
    if (kp.r < min_r) return std::unexpected(below("scrypt r=", kp.r, min_r));
    if (kp.p < kMinP) return std::unexpected(below("scrypt p=", kp.p, kMinP));
    if (kp.dklen < kKeySize) {
        return std::unexpected(invalid_params("dklen=" + std::to_string(kp.dklen) + " is below minimum " +
                                              std::to_string(kKeySize)));
    }
    if (kp.dklen > kKeySize) {
        return std::unexpected(invalid_params("dklen=" + std::to_string(kp.dklen) +
                                              " is unsupported, expected exactly " + std::to_string(kKeySize)));
    }
    if (auto ok = check_scrypt_cost(kp.n, kp.r, kp.p); !ok) return std::unexpected(ok.error());
    // Checked before the expensive derivation so that a broken file costs nothing.
    if (nonce.size() != kNonceSize) {
        return std::unexpected(invalid_params("iv must be 12 bytes, got " + std::to_string(nonce.size())));
    }

    Key key;
    if (auto ok = derive_key(passphrase, salt, kp.n, kp.r, kp.p, key); !ok) {
        return std::unexpected(err(CryptoError::Kind::DecryptionFailed, ok.error()));
    }
    const CipherCtx ctx = make_gcm(key, nonce, false);
    const auto aead_failed = [] { return std::unexpected(err(CryptoError::Kind::DecryptionFailed, kAeadError)); };

    // The tag is the last 16 bytes of ciphertext and tag together, wherever
    // the file put the boundary.
    WipedBytes joined;
    joined.bytes.reserve(decoded[2].size() + decoded[3].size());
    joined.bytes.insert(joined.bytes.end(), decoded[2].begin(), decoded[2].end());
    joined.bytes.insert(joined.bytes.end(), decoded[3].begin(), decoded[3].end());
    if (!ctx || joined.bytes.size() < kTagSize || joined.bytes.size() - kTagSize > INT_MAX) return aead_failed();
    const std::size_t body = joined.bytes.size() - kTagSize;

    // Plaintext goes straight into its locked buffer and is wiped with it on failure.
    SecretBytes plaintext(Bytes(body, 0));
    int len = 0;
    if (body != 0 && (EVP_DecryptUpdate(ctx.get(), plaintext.mutable_data(), &len, joined.bytes.data(),
                                        static_cast<int>(body)) != 1 ||
                      static_cast<std::size_t>(len) != body)) {
        return aead_failed();
    }
    int final_len = 0;
    std::uint8_t end_marker = 0;
    if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, kTagSize, joined.bytes.data() + body) != 1 ||
        EVP_DecryptFinal_ex(ctx.get(), &end_marker, &final_len) != 1) {
        return aead_failed();
    }
    return plaintext;
}

}  // namespace

std::expected<SecretBytes, CryptoError> decrypt(const CryptoEnvelope& envelope, std::string_view passphrase) {
    return open_envelope(envelope, passphrase, kDefaultN, kMinR);
}

namespace testing {
std::expected<CryptoEnvelope, CryptoError> encrypt_with_params(ByteSpan plaintext, std::string_view passphrase,
                                                               std::uint32_t n, std::uint32_t r, std::uint32_t p) {
    return seal(plaintext, passphrase, n, r, p);
}

std::expected<SecretBytes, CryptoError> decrypt_with_minimums(const CryptoEnvelope& envelope,
                                                              std::string_view passphrase, std::uint32_t min_n,
                                                              std::uint32_t min_r) {
    return open_envelope(envelope, passphrase, min_n, min_r);
}
}  // namespace testing

}  // namespace qel_signer::crypto
