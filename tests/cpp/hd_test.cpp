#include "qel_signer/hd.hpp"

#include "qel_signer/hash.hpp"
#include "qel_signer/mnemonic.hpp"
#include "qel_signer/signer.hpp"
#include "support.hpp"

namespace {

using qel_signer::Curve;
using qel_signer::HdDeriver;
using qel_signer::Mnemonic;
using qel_test::error_of;
using qel_test::unhex;

const auto kSeed = unhex("000102030405060708090a0b0c0d0e0f");

std::string derive(qel_signer::ByteSpan seed, const std::string& path, Curve curve) {
    auto key = HdDeriver::derive(seed, path, curve);
    return key ? qel_signer::hex_encode(key->as_slice()) : "error: " + key.error().message();
}

TEST(PathGrammar, RejectedPathsForBothCurves) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "path must start with 'm/', got ''"}, {"m/0//1", "empty component in path 'm/0//1'"},
        {"m/''", "empty component in path 'm/'''"}, {"m/44h/0", "invalid index '44h' in path 'm/44h/0'"},
        {"m/+", "invalid index '+' in path 'm/+'"}, {"m/1'0", "invalid index '1'0' in path 'm/1'0'"},
        {"m/4294967296'", "invalid index '4294967296'' in path 'm/4294967296''"},
        {"m/99999999999999999999", "invalid index '99999999999999999999' in path 'm/99999999999999999999'"},
        {"m/0/x/", "invalid index 'x' in path 'm/0/x/'"},  // the first failing component decides
    };
    for (const auto& [path, text] : cases) {
        const std::string expected = "invalid derivation path: " + text;
        // That both derivations refuse with the same text, ahead of the hardened-only rule, is a fuzz invariant.
        EXPECT_EQ(error_of(HdDeriver::validate_path(path)), expected);
    }
}

TEST(HdDeriver, PublishedVectors) {
    const std::pair<const char*, Curve> files[] = {{"bip32.json", Curve::Secp256k1},
                                                   {"slip10-ed25519.json", Curve::Ed25519}};
    for (const auto& [file, curve] : files) {
        for (const auto& vector : qel_test::load_vectors(file, "/vectors")) {
            for (const auto& chain : vector["chains"]) {
                EXPECT_EQ(derive(unhex(vector["seed_hex"]), chain["path"], curve), chain["private_key_hex"]) << chain;
            }
        }
    }
}

TEST(HdDeriver, IndexFormsFailuresHardenedOnlyAndIndexWrap) {
    // An unmarked index of 2^31 or more is already a hardened step.
    EXPECT_EQ(derive(kSeed, "m/4294967295", Curve::Secp256k1), derive(kSeed, "m/2147483647'", Curve::Secp256k1));
    EXPECT_EQ(derive(kSeed, "m/+7'", Curve::Secp256k1), derive(kSeed, "m/7'", Curve::Secp256k1));
    EXPECT_EQ(derive(kSeed, "m/007/1", Curve::Secp256k1), derive(kSeed, "m/7/1", Curve::Secp256k1));
    EXPECT_EQ(derive(kSeed, "m/0''", Curve::Secp256k1),
              "error: invalid derivation path: Malformatted index during derivation: m/0''");
    EXPECT_EQ(derive(qel_signer::Bytes(15, 1), "m/0", Curve::Secp256k1),
              "error: derivation failed: Master key seed generation received <16 bytes");
    for (std::string path : {"m/0", "m/0/1'"}) {
        EXPECT_EQ(derive(kSeed, path, Curve::Ed25519), "error: ed25519 requires hardened-only derivation");
    }
    EXPECT_EQ(derive(kSeed, "m/0''", Curve::Ed25519), derive(kSeed, "m/0'", Curve::Ed25519));
    EXPECT_EQ(derive(kSeed, "m/+7'", Curve::Ed25519), derive(kSeed, "m/007'", Curve::Ed25519));
    // 2^31 + 2^31 wraps to index 0, which goes into the HMAC unhardened.
    const auto master = qel_test::load_vectors("slip10-ed25519.json", "/vectors/0/chains/0");
    ASSERT_EQ(master["path"], "m");
    qel_signer::Bytes block = unhex("00" + master["private_key_hex"].get<std::string>() + "00000000");
    std::uint8_t out[64];
    qel_signer::hmac_sha512(unhex(master["chain_code_hex"]), block, out);
    EXPECT_EQ(derive(kSeed, "m/2147483648'", Curve::Ed25519), qel_signer::hex_encode({out, 32}));
}

TEST(FromMnemonic, KnownAccountsOfAllSixFamilies) {
    const auto data = qel_test::load_vectors("known-addresses.json");
    const auto mnemonic = Mnemonic::from_phrase(data["mnemonic"].get<std::string>()).value();
    std::uint32_t index = 0;  // the accounts at index 0 and 1 of each family, in turn
    for (const auto& entry : data["addresses"]) {
        const auto signer = qel_signer::signer_for_chain(qel_core::chain_type_from_name(std::string(entry["family"])).value());
        const std::string path = entry["path"];
        EXPECT_EQ(signer->default_derivation_path(index++ % 2), path);
        const auto key = HdDeriver::derive_from_mnemonic(mnemonic, "", path, signer->curve()).value();
        EXPECT_EQ(qel_signer::hex_encode(key.as_slice()), entry["private_key_hex"].get<std::string>()) << path;
        EXPECT_EQ(signer->derive_address(key.as_slice()), entry["address"].get<std::string>()) << path;
    }
}

}  // namespace
