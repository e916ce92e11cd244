#include "qel_signer/signer.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qel_signer/hash.hpp"
#include "qel_signer/secp256k1.hpp"
#include "secp256k1_check.hpp"
#include "test_data.hpp"

using qel_core::ChainType;
using qel_signer::Curve;
using qel_signer::SignerError;
using qel_signer::signer_for_chain;
using qel_test::unhex;

namespace {

// A key and its compressed public key from the published "abandon ... about" accounts.
const std::string kKeyHex = "1ab42cc412b618bdea3a599e3c9bae199ebf030895b039e9db1e30dafb12b727";
const std::string kPubHex = "0237b0bb7a8288d38ed49a524b5dc98cff3eb5ca824c9f9dc0dfdb3d9cd600f299";

const std::vector<ChainType> kSecpFamilies{ChainType::Evm, ChainType::Cosmos, ChainType::Bitcoin, ChainType::Tron};

TEST(Registry, ConstantsAndPathsOfEveryFamily) {
    struct Row {
        ChainType type;
        Curve curve;
        std::uint32_t coin;
        std::string path0, path_max;
    };
    const std::vector<Row> rows{
        {ChainType::Evm, Curve::Secp256k1, 60, "m/44'/60'/0'/0/0", "m/44'/60'/0'/0/4294967295"},
        {ChainType::Solana, Curve::Ed25519, 501, "m/44'/501'/0'/0'", "m/44'/501'/4294967295'/0'"},
        {ChainType::Cosmos, Curve::Secp256k1, 118, "m/44'/118'/0'/0/0", "m/44'/118'/0'/0/4294967295"},
        {ChainType::Bitcoin, Curve::Secp256k1, 0, "m/84'/0'/0'/0/0", "m/84'/0'/0'/0/4294967295"},
        {ChainType::Tron, Curve::Secp256k1, 195, "m/44'/195'/0'/0/0", "m/44'/195'/0'/0/4294967295"},
        {ChainType::Ton, Curve::Ed25519, 607, "m/44'/607'/0'", "m/44'/607'/4294967295'"},
    };
    for (const auto& row : rows) {
        auto signer = signer_for_chain(row.type);
        ASSERT_NE(signer, nullptr);
        EXPECT_EQ(signer->chain_type(), row.type);
        EXPECT_EQ(signer->curve(), row.curve);
        EXPECT_EQ(signer->coin_type(), row.coin);
        EXPECT_EQ(signer->default_derivation_path(0), row.path0);
        EXPECT_EQ(signer->default_derivation_path(4294967295u), row.path_max);
        EXPECT_NE(signer.get(), signer_for_chain(row.type).get());  // a fresh object per call
    }
}

TEST(Registry, DefaultEncodeFailsWithTheFamilyName) {
    const qel_signer::SignOutput any{qel_signer::Bytes(65, 1), 1};
    for (auto [type, name] : std::vector<std::pair<ChainType, std::string>>{
             {ChainType::Cosmos, "cosmos"}, {ChainType::Bitcoin, "bitcoin"},
             {ChainType::Tron, "tron"}, {ChainType::Ton, "ton"}}) {
        auto r = signer_for_chain(type)->encode_signed_transaction(unhex("02c0"), any);
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error().message(), "invalid transaction: encode_signed_transaction not implemented for " + name);
    }
}

TEST(Registry, DefaultExtractReturnsTheInputItself) {
    const auto tx = unhex("00010203");
    for (auto type : {ChainType::Evm, ChainType::Cosmos, ChainType::Bitcoin, ChainType::Tron, ChainType::Ton}) {
        auto signer = signer_for_chain(type);
        auto r = signer->extract_signable_bytes(tx);
        ASSERT_TRUE(r.has_value());
        EXPECT_EQ(r->data(), tx.data());
        EXPECT_EQ(r->size(), tx.size());
        auto empty = signer->extract_signable_bytes({});
        ASSERT_TRUE(empty.has_value());
        EXPECT_TRUE(empty->empty());
    }
}

TEST(Secp256k1Key, RejectedValuesAndLengths) {
    const std::vector<std::string> bad{
        "",
        "00",
        std::string(46, 'a'),                                                   // 23 bytes
        std::string(64, '0'),                                                   // zero
        "00" + std::string(62, '0'),                                            // 31-byte zero
        "fffffffffffffffffffffffffffffffebaaedce6af48a03bbfd25e8cd0364141",  // n
        std::string(64, 'f'),                                                   // above n
        std::string(66, '1'),                                                   // 33 bytes
    };
    const auto digest = qel_signer::Bytes(32, 7);
    for (const auto& key_hex : bad) {
        const auto key = unhex(key_hex);
        for (auto type : kSecpFamilies) {
            auto signer = signer_for_chain(type);
            auto addr = signer->derive_address(key);
            ASSERT_FALSE(addr.has_value()) << key_hex;
            EXPECT_EQ(addr.error().message(), "invalid private key: signature error");
            for (auto r : {signer->sign(key, digest), signer->sign_message(key, digest),
                           signer->sign_transaction(key, digest)}) {
                ASSERT_FALSE(r.has_value());
                EXPECT_EQ(r.error().message(), "invalid private key: signature error");
            }
        }
    }
}

TEST(Secp256k1Key, ShortKeysAreLeftPadded) {
    // n - 1 is the largest valid scalar.
    EXPECT_TRUE(qel_signer::secp256k1::compressed_public_key(
                    unhex("fffffffffffffffffffffffffffffffebaaedce6af48a03bbfd25e8cd0364140"))
                    .has_value());
    const auto full = unhex("0000000000000000" "1ab42cc412b618bdea3a599e3c9bae199ebf030895b039e9");
    for (long len : {24, 31}) {
        const qel_signer::Bytes short_key(full.end() - len, full.end());
        EXPECT_EQ(signer_for_chain(ChainType::Evm)->derive_address(short_key),
                  signer_for_chain(ChainType::Evm)->derive_address(full));
    }
}

TEST(Secp256k1Sign, DigestLengthIsCheckedBeforeTheKey) {
    const auto bad_key = qel_signer::Bytes(32, 0);
    for (auto type : kSecpFamilies) {
        const std::string word = type == ChainType::Evm ? "prehash" : "hash";
        for (std::size_t len : {0u, 31u, 33u}) {
            auto r = signer_for_chain(type)->sign(bad_key, qel_signer::Bytes(len, 1));
            ASSERT_FALSE(r.has_value());
            EXPECT_EQ(r.error().message(),
                      "invalid message: expected 32-byte " + word + ", got " + std::to_string(len) + " bytes");
        }
    }
}

TEST(Secp256k1Sign, DeterministicLowSAndRecoverable) {
    const auto key = unhex(kKeyHex);
    const auto pub = unhex(kPubHex);
    for (auto type : kSecpFamilies) {
        auto signer = signer_for_chain(type);
        for (int i = 0; i < 16; ++i) {
            const qel_signer::Hash32 digest = qel_signer::sha256(qel_signer::Bytes{static_cast<std::uint8_t>(i)});
            auto a = signer->sign(key, digest);
            auto b = signer->sign(key, digest);
            ASSERT_TRUE(a.has_value());
            ASSERT_TRUE(b.has_value());
            EXPECT_EQ(a->signature, b->signature);
            EXPECT_LE(*a->recovery_id, 1);
            qel_test::expect_valid_signature(*a, digest, pub);
        }
    }
}

}  // namespace
