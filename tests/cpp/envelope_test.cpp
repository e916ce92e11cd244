#include "qel_signer/envelope.hpp"

#include <cerrno>
#include <functional>

#include "qel_signer/random.hpp"
#include "support.hpp"

namespace {

using nlohmann::json;
using qel_signer::crypto::CryptoEnvelope;
namespace crypto = qel_signer::crypto;
using qel_test::error_of;
using qel_test::mapped;
using qel_test::text_of;
using qel_test::to_bytes;

// Sealed independently with Python's hashlib.scrypt and the PyPI
// "cryptography" AESGCM under the passphrase "correct horse".
const char* const kPassphrase = "correct horse";
const char* const kPlaintext = "legal winner thank year wave sausage worth useful legal winner thank yellow";
const CryptoEnvelope kReference{
    "aes-256-gcm", {"a0a1a2a3a4a5a6a7a8a9aaab"},
    "ad52dffa2620e16dcdd6c5503d35c05bf0db1981126a55565eba56aa02398861664387b502c3512b913389f9b9aa96a7c3cd0200fd"
    "ac070af6fbda38deb8d73d060c8865027bf123367691",
    "3cb8ea4a1425e5b1c07fc66872525df9", "scrypt",
    {32, 262144, 8, 1, "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f"}};

TEST(Envelope, OpensIndependentlySealedEnvelopeInAnyLayout) {
    EXPECT_EQ(text_of(crypto::decrypt(kReference, kPassphrase).value()), kPlaintext);
    // Upper-case hex everywhere, the tag at the end of ciphertext and tag
    // joined, and cipher/kdf names that are not consulted.
    const auto& k = kReference;
    const CryptoEnvelope e{"rot13", {mapped(k.cipherparams.iv, ::toupper)}, mapped(k.ciphertext + k.auth_tag, ::toupper),
                           "", "none", {32, 262144, 8, 1, mapped(k.kdfparams.salt, ::toupper)}};
    EXPECT_EQ(text_of(crypto::decrypt(e, kPassphrase).value()), kPlaintext);
}

// A wrong passphrase fails the same check (the Python tests' refusal tables).
TEST(Envelope, TamperingFailsAuthentication) {
    // Sealed with cheap parameters and opened with minimums lowered to match.
    auto sealed = crypto::testing::encrypt_with_params(to_bytes(kPlaintext), kPassphrase, 1024, 8, 1).value();
    EXPECT_EQ(text_of(crypto::testing::decrypt_with_minimums(sealed, kPassphrase, 1024, 8).value()), kPlaintext);
    sealed.auth_tag[31] = sealed.auth_tag[31] == '0' ? '1' : '0';
    EXPECT_EQ(error_of(crypto::testing::decrypt_with_minimums(sealed, kPassphrase, 1024, 8)),
              "decryption failed: aead::Error");
}

TEST(Envelope, SealsWithTheDefaultParametersAndFreshSaltAndNonce) {
    auto sealed = crypto::encrypt(to_bytes(kPlaintext), "pw");
    ASSERT_TRUE(sealed) << sealed.error().message();
    EXPECT_EQ(sealed->to_json()["kdfparams"].dump(),
              R"({"dklen":32,"n":262144,"p":1,"r":8,"salt":")" + sealed->kdfparams.salt + R"("})");
    EXPECT_EQ(sealed->ciphertext.size(), 2 * std::string_view(kPlaintext).size());
    auto a = crypto::testing::encrypt_with_params({}, "", 1024, 8, 1).value();
    auto b = crypto::testing::encrypt_with_params({}, "", 1024, 8, 1).value();
    EXPECT_EQ(a.ciphertext, "");
    EXPECT_EQ(a.auth_tag.size(), 32U);
    EXPECT_EQ(a.kdfparams.salt.size() + a.cipherparams.iv.size(), 64U + 24U);
    EXPECT_TRUE(a.kdfparams.salt != b.kdfparams.salt && a.cipherparams.iv != b.cipherparams.iv);
}

TEST(Envelope, SealingFailures) {
    qel_signer::testing::set_random_failure(EIO);
    auto r = crypto::encrypt(to_bytes("x"), "pw");
    qel_signer::testing::set_random_failure(0);
    EXPECT_EQ(error_of(r), "encryption failed: Input/output error (os error 5)");
    for (auto [n, r_, p] : {std::tuple{1000U, 8U, 1U}, {0U, 8U, 1U}, {1024U, 0U, 1U}, {1024U, 8U, 0U}}) {
        EXPECT_EQ(error_of(crypto::testing::encrypt_with_params(to_bytes("x"), "pw", n, r_, p)),
                  "invalid parameters: invalid scrypt parameters");
    }
}

// All of these fail before any key is derived, so they cost nothing.
TEST(Envelope, DecryptChecksRunInOrderWithExactMessages) {
    const auto weak = [](std::string w) { return "scrypt " + w + " \u2014 possible downgrade attack"; };
    const std::pair<std::function<void(CryptoEnvelope&)>, std::string> cases[] = {
        // Hex first, salt before iv before ciphertext before tag, and before any parameter check.
        {[](auto& e) { e.kdfparams.salt += "0"; e.kdfparams.n = 5; }, "Odd number of digits"},
        {[](auto& e) { e.kdfparams.salt[3] = 'g'; e.cipherparams.iv = "0"; }, "Invalid character 'g' at position 3"},
        {[](auto& e) { e.cipherparams.iv = "zz"; e.ciphertext = "0"; }, "Invalid character 'z' at position 0"},
        {[](auto& e) { e.ciphertext = "0x00"; e.auth_tag = "q"; }, "Invalid character 'x' at position 1"},
        {[](auto& e) { e.auth_tag = "00 0"; }, "Invalid character ' ' at position 2"},
        {[](auto& e) { e.kdfparams.n = 262145; e.kdfparams.r = 1; }, "scrypt N must be a power of 2, got 262145"},
        {[](auto& e) { e.kdfparams.n = 0; }, "scrypt N must be a power of 2, got 0"},
        {[](auto& e) { e.kdfparams.n = 131072; e.kdfparams.r = 1; }, weak("N=131072 is below minimum 262144")},
        {[](auto& e) { e.kdfparams.r = 7; e.kdfparams.p = 0; }, weak("r=7 is below minimum 8")},
        {[](auto& e) { e.kdfparams.p = 0; e.kdfparams.dklen = 0; }, weak("p=0 is below minimum 1")},
        {[](auto& e) { e.kdfparams.dklen = 31; e.kdfparams.r = 1U << 27; }, "dklen=31 is below minimum 32"},
        {[](auto& e) { e.kdfparams.dklen = 33; e.kdfparams.r = 1U << 27; },
         "dklen=33 is unsupported, expected exactly 32"},
        {[](auto& e) { e.kdfparams.r = 1U << 27; e.kdfparams.p = 8; e.cipherparams.iv = ""; },
         "invalid scrypt parameters"},
        {[](auto& e) { e.kdfparams.n = 1U << 20; e.kdfparams.r = 9; e.cipherparams.iv = ""; },
         "scrypt parameters need 1207959552 bytes of memory, above the limit of 1073741824 bytes"},
        // p sizes a buffer and multiplies the time: both are bounded, after the memory check.
        {[](auto& e) { e.kdfparams.n = 1U << 21; e.kdfparams.p = 1U << 21; },
         "scrypt parameters need 2147483648 bytes of memory, above the limit of 1073741824 bytes"},
        {[](auto& e) { e.kdfparams.p = 1U << 21; },
         "scrypt parameters need 2147483648 bytes of parallel buffers, above the limit of 67108864 bytes"},
        {[](auto& e) { e.kdfparams.p = 65; },
         "scrypt parameters need work N*r*p = 136314880, above the limit of 134217728"},
        // The largest costs allowed pass every check (the iv check comes next).
        {[](auto& e) { e.kdfparams.n = 1U << 20; e.cipherparams.iv = ""; }, "iv must be 12 bytes, got 0"},
        {[](auto& e) { e.kdfparams.p = 64; e.cipherparams.iv = ""; }, "iv must be 12 bytes, got 0"},
        {[](auto& e) { e.cipherparams.iv += "00"; }, "iv must be 12 bytes, got 13"},
    };
    for (const auto& [change, message] : cases) {
        auto e = kReference;
        change(e);
        EXPECT_EQ(error_of(crypto::decrypt(e, kPassphrase)), "invalid parameters: " + message);
    }
}

TEST(EnvelopeJson, WritesSortedMembersAndReadsThemBackIgnoringOthers) {
    const auto e = kReference;
    json j = e.to_json();
    EXPECT_EQ(j.dump(),
              R"({"auth_tag":")" + e.auth_tag + R"(","cipher":"aes-256-gcm","cipherparams":{"iv":")" +
                  e.cipherparams.iv + R"("},"ciphertext":")" + e.ciphertext +
                  R"(","kdf":"scrypt","kdfparams":{"dklen":32,"n":262144,"p":1,"r":8,"salt":")" + e.kdfparams.salt +
                  R"("}})");
    j["kdfparams"]["p"] = 4294967295U;
    j["kdfparams"]["dklen"] = 0;
    json extra = j;
    extra["version"] = 3;
    extra["kdfparams"]["comment"] = nullptr;
    EXPECT_EQ(CryptoEnvelope::from_json(extra).value().to_json(), j);
}

TEST(EnvelopeJson, RejectsMissingAndMistypedMembers) {
    const json good = kReference.to_json();
    const std::pair<std::function<void(json&)>, std::string> cases[] = {
        {[](json& j) { j = json::array(); }, "invalid type: sequence, expected struct CryptoEnvelope"},
        {[](json& j) { j["cipher"] = 5; }, "invalid type: integer `5`, expected a string"},
        {[](json& j) { j["cipherparams"] = "iv"; }, R"(invalid type: string "iv", expected struct CipherParams)"},
        {[](json& j) { j["cipherparams"]["iv"] = nullptr; }, "invalid type: null, expected a string"},
        {[](json& j) { j["kdfparams"]["r"] = 8.0; }, "invalid type: floating point `8.0`, expected u32"},
        {[](json& j) { j["kdfparams"]["p"] = true; }, "invalid type: boolean `true`, expected u32"},
        {[](json& j) { j["kdfparams"]["dklen"] = -1; }, "invalid value: integer `-1`, expected u32"},
        {[](json& j) { j["kdfparams"]["n"] = 4294967296ULL; }, "invalid value: integer `4294967296`, expected u32"},
    };
    for (const auto& [change, message] : cases) {
        json j = good;
        change(j);
        EXPECT_EQ(error_of(CryptoEnvelope::from_json(j)), message);
    }
    for (const std::string path : {"cipher", "cipherparams", "cipherparams/iv", "ciphertext", "auth_tag", "kdf",
                                   "kdfparams", "kdfparams/dklen", "kdfparams/n", "kdfparams/r", "kdfparams/p",
                                   "kdfparams/salt"}) {
        json j = good;
        const auto slash = path.find('/');
        const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
        (slash == std::string::npos ? j : j[path.substr(0, slash)]).erase(name);
        EXPECT_EQ(error_of(CryptoEnvelope::from_json(j)), "missing field `" + name + "`");
    }
}

}  // namespace
