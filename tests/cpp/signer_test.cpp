#include "qel_signer/signer.hpp"

#include "qel_signer/hd.hpp"
#include "qel_signer/secp256k1.hpp"
#include "support.hpp"

namespace {

using qel_core::ChainType;
using qel_signer::Bytes;
using qel_signer::signer_for_chain;
using qel_test::error_of;
using qel_test::unhex;

const ChainType kSecpFamilies[] = {ChainType::Evm, ChainType::Cosmos, ChainType::Bitcoin, ChainType::Tron};

// Where each family puts the account index: the largest one still derives a usable key.
// (Curves and the paths at index 0 and 1 are checked against published accounts in hd_test.)
TEST(Registry, LargestIndexPaths) {
    const std::pair<ChainType, std::string> rows[] = {
        {ChainType::Evm, "m/44'/60'/0'/0/4294967295"},     {ChainType::Solana, "m/44'/501'/4294967295'/0'"},
        {ChainType::Cosmos, "m/44'/118'/0'/0/4294967295"}, {ChainType::Bitcoin, "m/84'/0'/0'/0/4294967295"},
        {ChainType::Tron, "m/44'/195'/0'/0/4294967295"},   {ChainType::Ton, "m/44'/607'/4294967295'"},
    };
    for (const auto& [type, path] : rows) {
        auto signer = signer_for_chain(type);
        EXPECT_EQ(signer->default_derivation_path(4294967295u), path);
        auto key = qel_signer::HdDeriver::derive(Bytes(16, 1), path, signer->curve());
        ASSERT_TRUE(key.has_value()) << path;
        EXPECT_TRUE(signer->derive_address(key->as_slice()).has_value()) << path;
    }
}

TEST(Secp256k1Key, RejectedDigestsKeysAndLengthsShortKeysLeftPadded) {
    const std::string bad[] = {
        "", "00", std::string(46, 'a'),                                          // 23 bytes
        std::string(64, '0'), "00" + std::string(62, '0'),                       // zero, 31-byte zero
        "fffffffffffffffffffffffffffffffebaaedce6af48a03bbfd25e8cd0364141",   // n
        std::string(64, 'f'), std::string(66, '1'),                              // above n, 33 bytes
    };
    const Bytes digest(32, 7);
    for (auto type : kSecpFamilies) {
        const auto signer = signer_for_chain(type);
        const std::string word = type == ChainType::Evm ? "prehash" : "hash";
        for (std::size_t len : {0u, 31u, 33u}) {  // with the zero key, which is not looked at
            EXPECT_EQ(error_of(signer->sign(Bytes(32, 0), Bytes(len, 1))),
                      "invalid message: expected 32-byte " + word + ", got " + std::to_string(len) + " bytes");
        }
        for (const auto& key_hex : bad) {
            const auto key = unhex(key_hex);
            for (const auto& text : {error_of(signer->derive_address(key)), error_of(signer->sign(key, digest)),
                                     error_of(signer->sign_message(key, digest)),
                                     error_of(signer->sign_transaction(key, digest))}) {
                EXPECT_EQ(text, "invalid private key: signature error") << key_hex;
            }
        }
    }
    // n - 1 is the largest valid scalar.
    EXPECT_TRUE(qel_signer::secp256k1::compressed_public_key(
        unhex("fffffffffffffffffffffffffffffffebaaedce6af48a03bbfd25e8cd0364140")));
    const auto full = unhex("0000000000000000" "1ab42cc412b618bdea3a599e3c9bae199ebf030895b039e9");
    const auto evm = signer_for_chain(ChainType::Evm);
    for (long len : {24, 31}) EXPECT_EQ(evm->derive_address(Bytes(full.end() - len, full.end())), evm->derive_address(full));
}

}  // namespace
