#include "qel_signer/keystore.hpp"

#include "support.hpp"

namespace {

using nlohmann::json;
using qel_signer::Bytes;
namespace keystore = qel_signer::keystore;

const std::string kKey = "7a28b5ba57c53603b0b07b56bba752f7784bf506fa95edc395f5cf6c7514fe9d";

json published(const std::string& kdf) {
    for (const auto& v : qel_test::load_vectors("keystore-v3.json", "/vectors")) {
        if (v["kdf"] == kdf) return v["keystore"];
    }
    throw std::runtime_error("no " + kdf + " vector");
}

std::string decrypt_hex(const std::string& text, const std::string& password) {
    auto parsed = keystore::parse(text);
    if (!parsed) return "parse: " + parsed.error();
    auto key = keystore::decrypt(*parsed, password);
    return key ? qel_signer::hex_encode(key->as_slice()) : key.error().message();
}

// The document with one member set or removed, as text.
std::string with(json doc, const char* pointer, const json& value) {
    doc[json::json_pointer(pointer)] = value;
    return doc.dump();
}
std::string without(json doc, const char* parent, const char* name) {
    doc[json::json_pointer(parent)].erase(name);
    return doc.dump();
}

TEST(Keystore, PublishedVectorsDecrypt) {
    for (const char* kdf : {"pbkdf2", "scrypt"}) {
        EXPECT_EQ(decrypt_hex(published(kdf).dump(), "testpassword"), kKey) << kdf;
    }
}

// A shorter key is one whose leading zero bytes were dropped: padded back.
TEST(Keystore, ShortKeysArePaddedAndZeroIsRefused) {
    const auto short_key = keystore::testing::encrypt_with_n(qel_test::unhex(kKey.substr(2)), "pw", 1024).value();
    EXPECT_EQ(decrypt_hex(short_key, "pw"), "00" + kKey.substr(2));
    EXPECT_EQ(qel_test::error_of(keystore::testing::encrypt_with_n(Bytes(32, 0), "pw", 1024)),
              "invalid parameters: not a valid secp256k1 key");
}

// A corrupted file fails the check a wrong password fails (test_keystore.py).
TEST(Keystore, TamperingIsCaught) {
    const auto key = qel_test::unhex(kKey);
    const json good = json::parse(*keystore::testing::encrypt_with_n(key, "pw", 1024));
    EXPECT_EQ(decrypt_hex(with(good, "/crypto/kdfparams/n", 2048), "pw"),
              "decryption failed: keystore password is wrong or the file is corrupted");
    EXPECT_EQ(decrypt_hex(with(good, "/address", "008aeeda4d805471df9b2a5b0f38a0c3bcba786c"), "pw"),
              "decryption failed: the keystore's address does not match its key");
    // "Crypto", "0x" prefixes and a missing address are all read.
    json relaxed = good;
    relaxed["Crypto"] = relaxed["crypto"];
    relaxed.erase("crypto");
    relaxed.erase("address");
    relaxed["Crypto"]["mac"] = "0x" + relaxed["Crypto"]["mac"].get<std::string>();
    EXPECT_EQ(decrypt_hex(relaxed.dump(), "pw"), kKey);
}

TEST(Keystore, CostLimitsApplyBeforeAnyWorkAndMalformedFilesSayWhat) {
    json scrypt = published("scrypt");
    // Work beyond N=2^20, r=8, p=1 however it is made up; then the envelope's limits.
    const std::string beyond = "invalid parameters: scrypt parameters ";
    const std::string limit = " are beyond the limit of N*r*p = 8388608 for keystores";
    for (const auto& [n, r, p, error] : std::vector<std::tuple<std::uint32_t, std::uint32_t, std::uint32_t, std::string>>{
             {1u << 21, 8, 1, beyond + "n=2097152 r=8 p=1" + limit},
             {1u << 20, 8, 16, beyond + "n=1048576 r=8 p=16" + limit},
             {1u << 18, 8, 64, beyond + "n=262144 r=8 p=64" + limit},
             {2, 1u << 31, 1u << 31, beyond + "n=2 r=2147483648 p=2147483648" + limit},
             {2, 1u << 20, 1, "invalid parameters: scrypt parameters need 134217728 bytes of parallel buffers, above "
                              "the limit of 67108864 bytes"},
             {3, 8, 1, "invalid parameters: invalid scrypt parameters"}}) {
        scrypt["crypto"]["kdfparams"].update({{"n", n}, {"r", r}, {"p", p}});
        EXPECT_EQ(decrypt_hex(scrypt.dump(), "x"), error);
    }
    json pbkdf2 = published("pbkdf2");
    for (std::uint32_t c : {0u, keystore::kMaxPbkdf2Iterations + 1}) {
        pbkdf2["crypto"]["kdfparams"]["c"] = c;
        EXPECT_EQ(decrypt_hex(pbkdf2.dump(), "x"),
                  "invalid parameters: pbkdf2 iterations c=" + std::to_string(c) + " outside 1 to 10000000");
    }
    const json good = published("pbkdf2");
    const std::pair<std::string, std::string> cases[] = {
        {"[]", "expected a JSON object"},
        {without(good, "", "version"), "missing field `version`"},
        {with(good, "/version", 4), "unsupported version 4 (expected 3)"},
        {with(good, "/version", "3"), "unsupported version \"3\" (expected 3)"},
        {with(good, "/Crypto", good["crypto"]), "both `crypto` and `Crypto` are present"},
        {with(good, "/crypto", "x"), "`crypto` must be an object"},
        {with(good, "/crypto/cipher", "aes-128-cbc"), "unsupported cipher `aes-128-cbc` (expected aes-128-ctr)"},
        {with(good, "/crypto/cipherparams/iv", "00"), "`iv` must be 16 bytes, got 1"},
        {with(good, "/crypto/ciphertext", "0"), "`ciphertext`: Odd number of digits"},
        {with(good, "/crypto/ciphertext", std::string(62, '0')), "`ciphertext` must be 32 bytes, got 31"},
        {with(good, "/crypto/kdf", "argon2"), "unsupported kdf `argon2` (expected scrypt or pbkdf2)"},
        {with(good, "/crypto/kdfparams/prf", "hmac-sha512"), "unsupported prf `hmac-sha512` (expected hmac-sha256)"},
        {with(good, "/crypto/kdfparams/c", 4294967296), "`c` must be an integer from 0 to 4294967295"},
        {with(good, "/crypto/kdfparams/dklen", 16), "dklen=16 is below 32"},
        {with(good, "/crypto/kdfparams/salt", 5), "`salt` must be a string"},
        {without(good, "/crypto", "mac"), "missing field `mac`"},
        {with(good, "/crypto/mac", "zz"), "`mac`: Invalid character 'z' at position 0"},
        {with(good, "/address", "0x1234"), "`address` must be 20 bytes, got 2"},
    };
    for (const auto& [text, error] : cases) EXPECT_EQ(qel_test::error_of(keystore::parse(text)), error) << text;
    EXPECT_EQ(keystore::parse(R"({"version":3,"version":3})").error(), "duplicate field `version`");
}

}  // namespace
