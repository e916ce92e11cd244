#include "qel_signer/hd.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "qel_signer/encoding.hpp"
#include "qel_signer/hash.hpp"
#include "qel_signer/mnemonic.hpp"
#include "qel_signer/signer.hpp"
#include "secp256k1_check.hpp"
#include "test_data.hpp"

using qel_signer::Curve;
using qel_signer::HdDeriver;
using qel_signer::HdError;
using qel_test::unhex;

namespace {

const auto kSeed = unhex("000102030405060708090a0b0c0d0e0f");

std::string derive_hex(qel_signer::ByteSpan seed, const std::string& path, Curve curve) {
    auto key = HdDeriver::derive(seed, path, curve);
    EXPECT_TRUE(key.has_value()) << path << ": " << (key ? "" : key.error().message());
    if (!key) return {};
    EXPECT_EQ(key->size(), 32u);
    return qel_signer::hex_encode(key->as_slice());
}

std::string derive_error(qel_signer::ByteSpan seed, const std::string& path, Curve curve) {
    auto key = HdDeriver::derive(seed, path, curve);
    EXPECT_FALSE(key.has_value()) << path;
    return key ? std::string{} : key.error().message();
}

TEST(PathGrammar, AcceptedPaths) {
    for (std::string path : {"m", "m/0", "m/44'/60'/0'/0/0", "m/+7'", "m/007", "m/4294967295", "m/0''",
                             "m/4294967295'"}) {
        EXPECT_TRUE(HdDeriver::validate_path(path).has_value()) << path;
    }
}

TEST(PathGrammar, RejectedPathsForBothCurves) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"", "path must start with 'm/', got ''"},
        {"x/0", "path must start with 'm/', got 'x/0'"},
        {"m0", "path must start with 'm/', got 'm0'"},
        {"m/", "empty component in path 'm/'"},
        {"m/0/", "empty component in path 'm/0/'"},
        {"m/0//1", "empty component in path 'm/0//1'"},
        {"m/''", "empty component in path 'm/'''"},
        {"m/44h/0", "invalid index '44h' in path 'm/44h/0'"},
        {"m/44H", "invalid index '44H' in path 'm/44H'"},
        {"m/-1", "invalid index '-1' in path 'm/-1'"},
        {"m/+", "invalid index '+' in path 'm/+'"},
        {"m/4294967296'", "invalid index '4294967296'' in path 'm/4294967296''"},
        {"m/99999999999999999999", "invalid index '99999999999999999999' in path 'm/99999999999999999999'"},
        {"m/1'0", "invalid index '1'0' in path 'm/1'0'"},
        {"m/0/x/", "invalid index 'x' in path 'm/0/x/'"},  // the first failing component decides
    };
    for (const auto& [path, text] : cases) {
        auto v = HdDeriver::validate_path(path);
        ASSERT_FALSE(v.has_value()) << path;
        EXPECT_EQ(v.error().kind, HdError::Kind::InvalidPath);
        EXPECT_EQ(v.error().message(), "invalid derivation path: " + text);
        // The grammar runs first for both curves, even ahead of the hardened-only rule.
        EXPECT_EQ(derive_error(kSeed, path, Curve::Secp256k1), "invalid derivation path: " + text);
        EXPECT_EQ(derive_error(kSeed, path, Curve::Ed25519), "invalid derivation path: " + text);
    }
}

TEST(Bip32, PublishedVectors) {
    const auto data = qel_test::load_vectors("bip32.json");
    int checked = 0;
    for (const auto& vector : data["vectors"]) {
        const auto seed = unhex(vector["seed_hex"]);
        for (const auto& chain : vector["chains"]) {
            EXPECT_EQ(derive_hex(seed, chain["path"], Curve::Secp256k1), chain["private_key_hex"].get<std::string>())
                << "vector " << vector["test_vector"] << " " << chain["path"];
            ++checked;
        }
    }
    EXPECT_GE(checked, 17);
}

TEST(Bip32, IndexForms) {
    // An unmarked index of 2^31 or more is already a hardened step.
    EXPECT_EQ(derive_hex(kSeed, "m/4294967295", Curve::Secp256k1),
              derive_hex(kSeed, "m/2147483647'", Curve::Secp256k1));
    EXPECT_EQ(derive_hex(kSeed, "m/+7'", Curve::Secp256k1), derive_hex(kSeed, "m/7'", Curve::Secp256k1));
    EXPECT_EQ(derive_hex(kSeed, "m/007/1", Curve::Secp256k1), derive_hex(kSeed, "m/7/1", Curve::Secp256k1));
}

TEST(Bip32, Failures) {
    EXPECT_EQ(derive_error(kSeed, "m/0''", Curve::Secp256k1),
              "invalid derivation path: Malformatted index during derivation: m/0''");
    EXPECT_EQ(derive_error(kSeed, "m/1/44'''/0", Curve::Secp256k1),
              "invalid derivation path: Malformatted index during derivation: m/1/44'''/0");
    const auto short_seed = qel_signer::Bytes(15, 1);
    for (std::string path : {"m", "m/0"}) {
        EXPECT_EQ(derive_error(short_seed, path, Curve::Secp256k1),
                  "derivation failed: Master key seed generation received <16 bytes");
    }
    EXPECT_FALSE(derive_hex(qel_signer::Bytes(16, 1), "m", Curve::Secp256k1).empty());
}

TEST(Slip10, PublishedVectors) {
    const auto data = qel_test::load_vectors("slip10-ed25519.json");
    int checked = 0;
    for (const auto& vector : data["vectors"]) {
        const auto seed = unhex(vector["seed_hex"]);
        for (const auto& chain : vector["chains"]) {
            EXPECT_EQ(derive_hex(seed, chain["path"], Curve::Ed25519), chain["private_key_hex"].get<std::string>())
                << chain["path"];
            ++checked;
        }
    }
    EXPECT_GE(checked, 12);
}

TEST(Slip10, HardenedOnlyAndIndexWrap) {
    for (std::string path : {"m/0", "m/44'/501'/0'/0", "m/0/1'"}) {
        EXPECT_EQ(derive_error(kSeed, path, Curve::Ed25519), "ed25519 requires hardened-only derivation");
    }
    EXPECT_FALSE(derive_hex(kSeed, "m/44'/501'/0'/0'", Curve::Ed25519).empty());
    EXPECT_EQ(derive_hex(kSeed, "m/0''", Curve::Ed25519), derive_hex(kSeed, "m/0'", Curve::Ed25519));
    EXPECT_EQ(derive_hex(kSeed, "m/+7'", Curve::Ed25519), derive_hex(kSeed, "m/007'", Curve::Ed25519));

    // 2^31 + 2^31 wraps to index 0, which goes into the HMAC unhardened.
    const auto data = qel_test::load_vectors("slip10-ed25519.json");
    const auto& master = data["vectors"][0]["chains"][0];
    ASSERT_EQ(master["path"], "m");
    qel_signer::Bytes block{0};
    const auto k = unhex(master["private_key_hex"]);
    block.insert(block.end(), k.begin(), k.end());
    block.insert(block.end(), {0, 0, 0, 0});
    std::uint8_t out[64];
    qel_signer::hmac_sha512(unhex(master["chain_code_hex"]), block, out);
    EXPECT_EQ(derive_hex(kSeed, "m/2147483648'", Curve::Ed25519), qel_signer::hex_encode({out, 32}));
}

TEST(FromMnemonic, KnownAccountsOfAllSixFamilies) {
    const auto data = qel_test::load_vectors("known-addresses.json");
    auto mnemonic = qel_signer::Mnemonic::from_phrase(data["mnemonic"].get<std::string>());
    ASSERT_TRUE(mnemonic.has_value());
    int checked = 0;
    for (const auto& entry : data["addresses"]) {
        const auto family = qel_core::chain_type_from_json(entry["family"]);
        ASSERT_TRUE(family.has_value());
        auto signer = qel_signer::signer_for_chain(*family);
        const std::string path = entry["path"];
        auto key = HdDeriver::derive_from_mnemonic(*mnemonic, "", path, signer->curve());
        ASSERT_TRUE(key.has_value()) << path;
        EXPECT_EQ(qel_signer::hex_encode(key->as_slice()), entry["private_key_hex"].get<std::string>()) << path;
        ++checked;
    }
    EXPECT_EQ(checked, 12);
}

TEST(FromMnemonic, LargestIndexOnEveryDefaultPath) {
    auto mnemonic = qel_signer::Mnemonic::from_phrase(
        "abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon about");
    ASSERT_TRUE(mnemonic.has_value());
    for (auto type : qel_core::UNIVERSAL_ORDER) {
        auto signer = qel_signer::signer_for_chain(type);
        auto key = HdDeriver::derive_from_mnemonic(*mnemonic, "", signer->default_derivation_path(4294967295u),
                                                   signer->curve());
        ASSERT_TRUE(key.has_value()) << signer->default_derivation_path(4294967295u);
        EXPECT_TRUE(signer->derive_address(key->as_slice()).has_value());
    }
}

// Every released SecretBytes must come back zeroed, on the failure path too.
std::vector<std::size_t> g_released;
bool g_all_zero = true;
void observe(const std::uint8_t* data, std::size_t capacity) {
    g_released.push_back(capacity);
    for (std::size_t i = 0; i < capacity; ++i) g_all_zero = g_all_zero && data[i] == 0;
}

TEST(FromMnemonic, SeedIsWipedOnFailure) {
    auto mnemonic = qel_signer::Mnemonic::from_phrase(
        "abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon about");
    ASSERT_TRUE(mnemonic.has_value());
    g_released.clear();
    g_all_zero = true;
    qel_signer::testing::set_release_observer(&observe);
    auto key = HdDeriver::derive_from_mnemonic(*mnemonic, "", "m/44'/501'/0'/0", Curve::Ed25519);
    qel_signer::testing::set_release_observer(nullptr);
    ASSERT_FALSE(key.has_value());
    EXPECT_EQ(key.error().message(), "ed25519 requires hardened-only derivation");
    EXPECT_FALSE(g_released.empty());
    EXPECT_TRUE(g_all_zero);
}

}  // namespace
