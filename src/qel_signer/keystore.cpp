#include "keystore.hpp"

#include <array>
#include <climits>
#include <memory>

#include <nlohmann/json.hpp>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include "chains/evm.hpp"
#include "encoding.hpp"
#include "qel_core/shown.hpp"
#include "hash.hpp"
#include "qel_core/json.hpp"
#include "random.hpp"

namespace qel_signer::keystore {

namespace {

using nlohmann::json;
using crypto::CryptoError;

constexpr std::size_t kKeySize = 32;
constexpr std::size_t kIvSize = 16;
constexpr std::size_t kMacSize = 32;
constexpr std::size_t kSaltSize = 32;
constexpr std::uint32_t kExportN = 262144;
constexpr std::uint32_t kExportR = 8;
constexpr std::uint32_t kExportP = 1;

const char* const kWrongPassword = "keystore password is wrong or the file is corrupted";

std::unexpected<std::string> malformed(std::string text) { return std::unexpected(std::move(text)); }
CryptoError invalid_params(std::string text) { return {CryptoError::Kind::InvalidParams, std::move(text)}; }
CryptoError decryption_failed(std::string text) { return {CryptoError::Kind::DecryptionFailed, std::move(text)}; }

// ---- reading ----

// "`name`" and what is wrong with it.
std::string about(const char* name, std::string_view what) {
    std::string out = "`";
    out += name;
    out += '`';
    out += what;
    return out;
}

std::expected<const json*, std::string> member(const json& object, const char* name) {
    const auto it = object.find(name);
    if (it == object.end()) return malformed("missing field " + about(name, ""));
    return &*it;
}

std::expected<const json*, std::string> object_member(const json& object, const char* name) {
    auto m = member(object, name);
    if (!m) return m;
    if (!(*m)->is_object()) return malformed(about(name, " must be an object"));
    return m;
}

std::expected<std::string, std::string> string_member(const json& object, const char* name) {
    auto m = member(object, name);
    if (!m) return std::unexpected(m.error());
    if (!(*m)->is_string()) return malformed(about(name, " must be a string"));
    return (*m)->get<std::string>();
}

std::expected<std::uint32_t, std::string> u32_member(const json& object, const char* name) {
    auto m = member(object, name);
    if (!m) return std::unexpected(m.error());
    const json& v = **m;
    if (!v.is_number_unsigned() || v.get<std::uint64_t>() > UINT32_MAX) {
        return malformed(about(name, " must be an integer from 0 to 4294967295"));
    }
    return v.get<std::uint32_t>();
}

// Hex with an optional "0x"; `size`, when given, is the required byte count.
std::expected<Bytes, std::string> hex_member(const json& object, const char* name,
                                             std::optional<std::size_t> size = std::nullopt) {
    auto text = string_member(object, name);
    if (!text) return std::unexpected(text.error());
    std::string_view digits = *text;
    if (digits.starts_with("0x")) digits.remove_prefix(2);
    auto bytes = hex_decode(digits);
    if (!bytes) return malformed(about(name, ": " + bytes.error()));
    if (size && bytes->size() != *size) {
        return malformed(about(name, " must be " + std::to_string(*size) + " bytes, got " +
                                         std::to_string(bytes->size())));
    }
    return std::move(*bytes);
}

std::expected<void, std::string> read_kdf(const json& crypto, Keystore& out) {
    auto kdf = string_member(crypto, "kdf");
    if (!kdf) return std::unexpected(kdf.error());
    auto params = object_member(crypto, "kdfparams");
    if (!params) return std::unexpected(params.error());
    const json& kp = **params;
    if (*kdf == "scrypt") {
        out.kdf = Keystore::Kdf::Scrypt;
        for (auto [name, field] : {std::pair{"n", &out.n}, {"r", &out.r}, {"p", &out.p}}) {
            auto v = u32_member(kp, name);
            if (!v) return std::unexpected(v.error());
            *field = *v;
        }
    } else if (*kdf == "pbkdf2") {
        out.kdf = Keystore::Kdf::Pbkdf2;
        auto c = u32_member(kp, "c");
        if (!c) return std::unexpected(c.error());
        out.c = *c;
        auto prf = string_member(kp, "prf");
        if (!prf) return std::unexpected(prf.error());
        if (*prf != "hmac-sha256") return malformed("unsupported prf `" + qel_core::shown(*prf) + "` (expected hmac-sha256)");
    } else {
        return malformed("unsupported kdf `" + qel_core::shown(*kdf) + "` (expected scrypt or pbkdf2)");
    }
    auto dklen = u32_member(kp, "dklen");
    if (!dklen) return std::unexpected(dklen.error());
    // The first 16 bytes are the cipher key and the next 16 the MAC key.
    if (*dklen < kKeySize) return malformed("dklen=" + std::to_string(*dklen) + " is below 32");
    out.dklen = *dklen;
    auto salt = hex_member(kp, "salt");
    if (!salt) return std::unexpected(salt.error());
    out.salt = std::move(*salt);
    return {};
}

// ---- cryptography ----

struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }  // cleanses the key schedule
};

// AES-128-CTR of in into out (same length); false when the library fails.
bool aes128_ctr(ByteSpan key16, ByteSpan iv16, ByteSpan in, std::uint8_t* out) {
    std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
    int len = 0;
    int final_len = 0;
    return ctx && in.size() <= INT_MAX &&
           EVP_EncryptInit_ex(ctx.get(), EVP_aes_128_ctr(), nullptr, key16.data(), iv16.data()) == 1 &&
           EVP_EncryptUpdate(ctx.get(), out, &len, in.data(), static_cast<int>(in.size())) == 1 &&
           static_cast<std::size_t>(len) == in.size() && EVP_EncryptFinal_ex(ctx.get(), out + len, &final_len) == 1;
}

// Keccak-256 of the MAC key (derived bytes 16 to 31) and the ciphertext.
Hash32 mac_of(const WipedArray<kKeySize>& derived, ByteSpan ciphertext) {
    WipedArray<16 + kKeySize> input;
    std::copy(derived.bytes + 16, derived.bytes + kKeySize, input.bytes);
    std::copy(ciphertext.begin(), ciphertext.end(), input.bytes + 16);
    return keccak256(ByteSpan(input.bytes, 16 + ciphertext.size()));
}

std::expected<void, CryptoError> check_cost(const Keystore& ks) {
    switch (ks.kdf) {
        case Keystore::Kdf::Scrypt: {
            // r p < 2^64 always, and N r p < 2^55 once r p is within the limit.
            const std::uint64_t rp = std::uint64_t{ks.r} * ks.p;
            if (rp > kMaxScryptWork || ks.n * rp > kMaxScryptWork) {
                return std::unexpected(invalid_params("scrypt parameters n=" + std::to_string(ks.n) +
                                                      " r=" + std::to_string(ks.r) + " p=" + std::to_string(ks.p) +
                                                      " are beyond the limit of N*r*p = " +
                                                      std::to_string(kMaxScryptWork) + " for keystores"));
            }
            return crypto::check_scrypt_cost(ks.n, ks.r, ks.p);
        }
        case Keystore::Kdf::Pbkdf2:
            if (ks.c == 0 || ks.c > kMaxPbkdf2Iterations) {
                return std::unexpected(invalid_params("pbkdf2 iterations c=" + std::to_string(ks.c) +
                                                      " outside 1 to " + std::to_string(kMaxPbkdf2Iterations)));
            }
            return {};
    }
    return {};
}

// The first 32 derived bytes; a longer dklen only appends bytes that
// nothing reads (both KDFs end in PBKDF2, whose blocks are independent).
std::expected<void, CryptoError> derive(const Keystore& ks, std::string_view password, WipedArray<kKeySize>& out) {
    switch (ks.kdf) {
        case Keystore::Kdf::Scrypt: {
            auto ok = crypto::scrypt(password, ks.salt, ks.n, ks.r, ks.p, {out.bytes, out.size()});
            if (!ok) return std::unexpected(decryption_failed(ok.error()));
            return {};
        }
        case Keystore::Kdf::Pbkdf2: {
            static const char kNothing = 0;
            const char* pass = password.empty() ? &kNothing : password.data();
            const std::uint8_t* salt = ks.salt.empty() ? reinterpret_cast<const std::uint8_t*>(&kNothing) : ks.salt.data();
            if (password.size() > INT_MAX || ks.salt.size() > INT_MAX || ks.c > INT_MAX ||
                PKCS5_PBKDF2_HMAC(pass, static_cast<int>(password.size()), salt, static_cast<int>(ks.salt.size()),
                                  static_cast<int>(ks.c), EVP_sha256(), static_cast<int>(out.size()),
                                  out.bytes) != 1) {
                wipe(out.bytes, out.size());
                return std::unexpected(decryption_failed("pbkdf2 failed"));
            }
            return {};
        }
    }
    return {};
}

std::expected<std::string, CryptoError> seal(ByteSpan key, std::string_view password, std::uint32_t n) {
    WipedArray<kKeySize> padded;
    if (key.size() < 24 || key.size() > kKeySize) return std::unexpected(invalid_params("not a valid secp256k1 key"));
    std::copy(key.begin(), key.end(), padded.bytes + (kKeySize - key.size()));
    auto account = chains::evm::account_bytes(padded.span());
    if (!account) return std::unexpected(invalid_params("not a valid secp256k1 key"));

    std::array<std::uint8_t, kSaltSize> salt{};
    std::array<std::uint8_t, kIvSize> iv{};
    if (auto ok = fill_random(salt); !ok) return std::unexpected(CryptoError{CryptoError::Kind::EncryptionFailed, ok.error()});
    if (auto ok = fill_random(iv); !ok) return std::unexpected(CryptoError{CryptoError::Kind::EncryptionFailed, ok.error()});
    auto id = random_uuid();
    if (!id) return std::unexpected(CryptoError{CryptoError::Kind::EncryptionFailed, id.error()});
    if (auto ok = crypto::check_scrypt_cost(n, kExportR, kExportP); !ok) return std::unexpected(ok.error());

    WipedArray<kKeySize> derived;
    if (auto ok = crypto::scrypt(password, salt, n, kExportR, kExportP, {derived.bytes, derived.size()}); !ok) {
        return std::unexpected(CryptoError{CryptoError::Kind::EncryptionFailed, ok.error()});
    }
    Bytes ciphertext(kKeySize);
    if (!aes128_ctr(ByteSpan(derived.bytes, 16), iv, padded.span(), ciphertext.data())) {
        return std::unexpected(CryptoError{CryptoError::Kind::EncryptionFailed, "aes-128-ctr failed"});
    }
    const Hash32 mac = mac_of(derived, ciphertext);
    const json doc = {
        {"address", hex_encode(*account)},
        {"crypto",
         {{"cipher", "aes-128-ctr"},
          {"cipherparams", {{"iv", hex_encode(iv)}}},
          {"ciphertext", hex_encode(ciphertext)},
          {"kdf", "scrypt"},
          {"kdfparams",
           {{"dklen", kKeySize}, {"n", n}, {"p", kExportP}, {"r", kExportR}, {"salt", hex_encode(salt)}}},
          {"mac", hex_encode(mac)}}},
        {"id", std::move(*id)},
        {"version", 3},
    };
    return doc.dump();
}

}  // namespace

std::expected<Keystore, std::string> parse(std::string_view json_text) {
    qel_core::JsonParser parser(qel_core::kMaxJsonDepth);
    auto root = parser.parse(json_text);
    if (!root) return std::unexpected(root.error());
    const json doc = qel_core::to_generic(*root);
    if (!doc.is_object()) return malformed("expected a JSON object");

    auto version = member(doc, "version");
    if (!version) return std::unexpected(version.error());
    if (!(*version)->is_number_unsigned() || (*version)->get<std::uint64_t>() != 3) {
        return malformed("unsupported version " + (*version)->dump() + " (expected 3)");
    }
    // Some tools write the member with a capital letter.
    const bool lower = doc.contains("crypto");
    if (lower && doc.contains("Crypto")) return malformed("both `crypto` and `Crypto` are present");
    auto crypto = object_member(doc, lower || !doc.contains("Crypto") ? "crypto" : "Crypto");
    if (!crypto) return std::unexpected(crypto.error());
    const json& c = **crypto;

    Keystore out;
    auto cipher = string_member(c, "cipher");
    if (!cipher) return std::unexpected(cipher.error());
    if (*cipher != "aes-128-ctr") return malformed("unsupported cipher `" + qel_core::shown(*cipher) + "` (expected aes-128-ctr)");
    auto cipherparams = object_member(c, "cipherparams");
    if (!cipherparams) return std::unexpected(cipherparams.error());
    auto iv = hex_member(**cipherparams, "iv", kIvSize);
    if (!iv) return std::unexpected(iv.error());
    out.iv = std::move(*iv);
    auto ciphertext = hex_member(c, "ciphertext", kKeySize);
    if (!ciphertext) return std::unexpected(ciphertext.error());
    out.ciphertext = std::move(*ciphertext);
    if (auto ok = read_kdf(c, out); !ok) return std::unexpected(ok.error());
    auto mac = hex_member(c, "mac", kMacSize);
    if (!mac) return std::unexpected(mac.error());
    out.mac = std::move(*mac);

    if (doc.contains("address")) {
        auto address = hex_member(doc, "address", 20);
        if (!address) return std::unexpected(address.error());
        out.address = std::move(*address);
    }
    return out;
}

std::expected<SecretBytes, CryptoError> decrypt(const Keystore& keystore, std::string_view password) {
    if (keystore.iv.size() != kIvSize || keystore.ciphertext.size() != kKeySize || keystore.mac.size() != kMacSize) {
        return std::unexpected(invalid_params("malformed keystore"));
    }
    if (auto ok = check_cost(keystore); !ok) return std::unexpected(ok.error());
    WipedArray<kKeySize> derived;
    if (auto ok = derive(keystore, password, derived); !ok) return std::unexpected(ok.error());
    const Hash32 mac = mac_of(derived, keystore.ciphertext);
    if (CRYPTO_memcmp(mac.data(), keystore.mac.data(), kMacSize) != 0) {
        return std::unexpected(decryption_failed(kWrongPassword));
    }
    SecretBytes key(Bytes(keystore.ciphertext.size(), 0));
    if (!aes128_ctr(ByteSpan(derived.bytes, 16), keystore.iv, keystore.ciphertext, key.mutable_data())) {
        return std::unexpected(decryption_failed("aes-128-ctr failed"));
    }
    auto account = chains::evm::account_bytes(key.as_slice());
    if (!account) return std::unexpected(decryption_failed("the keystore does not hold a valid secp256k1 key"));
    if (keystore.address && !std::equal(account->begin(), account->end(), keystore.address->begin(),
                                        keystore.address->end())) {
        return std::unexpected(decryption_failed("the keystore's address does not match its key"));
    }
    return key;
}

std::expected<std::string, CryptoError> encrypt(ByteSpan key, std::string_view password) {
    return seal(key, password, kExportN);
}

namespace testing {
std::expected<std::string, CryptoError> encrypt_with_n(ByteSpan key, std::string_view password, std::uint32_t n) {
    return seal(key, password, n);
}
}  // namespace testing

}  // namespace qel_signer::keystore
