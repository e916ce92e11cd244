#include "qel_signer/chains/cosmos.hpp"

#include <gtest/gtest.h>

#include <string>

#include "qel_signer/chains/bitcoin.hpp"
#include "qel_signer/encoding.hpp"
#include "qel_signer/hash.hpp"
#include "qel_signer/secp256k1.hpp"
#include "../secp256k1_check.hpp"
#include "../test_data.hpp"

using qel_signer::Bytes;
using qel_signer::chains::CosmosSigner;
using qel_test::unhex;

namespace {

const CosmosSigner kSigner("cosmos");
const auto kKey = unhex("c4a48e2fce1481cd3294b4490f6678090ea98d3d0e5cd984558ab0968741b104");

Bytes pubkey_of(const Bytes& key) {
    auto pub = qel_signer::secp256k1::compressed_public_key(key);
    return pub ? Bytes(pub->begin(), pub->end()) : Bytes{};
}

TEST(CosmosAddress, KnownAccountsAndShape) {
    int checked = 0;
    for (const auto& v : qel_test::vector_section("known-addresses.json", "/addresses")) {
        if (v["family"] != "cosmos") continue;
        const auto key = unhex(v["private_key_hex"]);
        auto address = kSigner.derive_address(key);
        ASSERT_TRUE(address.has_value());
        EXPECT_EQ(*address, v["address"].get<std::string>());
        EXPECT_EQ(address->size(), 45u);
        // Same HASH160 as the Bitcoin account of the key, only the text differs.
        auto decoded = qel_signer::bech32_decode(*address);
        auto btc = qel_signer::chains::BitcoinSigner("bc").derive_address(key);
        ASSERT_TRUE(decoded.has_value() && btc.has_value());
        auto program = qel_signer::segwit_decode("bc", *btc);
        ASSERT_TRUE(program.has_value());
        EXPECT_EQ(qel_signer::convert_bits(decoded->data5, 5, 8, false), program->program);
        ++checked;
    }
    EXPECT_EQ(checked, 2);
}

TEST(CosmosAddress, HrpFailuresCarryTheBech32Text) {
    for (std::string hrp : {std::string(), std::string("Cosmos"), std::string(985, 'a')}) {
        auto r = CosmosSigner(hrp).derive_address(kKey);
        ASSERT_FALSE(r.has_value()) << hrp.size();
        EXPECT_EQ(r.error().kind, qel_signer::SignerError::Kind::AddressDerivationFailed);
        EXPECT_TRUE(r.error().message().starts_with("address derivation failed: ")) << r.error().message();
        auto validated = qel_signer::bech32_validate_hrp(hrp);
        if (!validated) {
            EXPECT_EQ(r.error().text, validated.error());
        }
    }
}

TEST(CosmosSign, MessagesAndTransactionsAreSha256OfTheBytes) {
    const auto pub = pubkey_of(kKey);
    for (const Bytes& bytes : {Bytes{}, Bytes(32, 0xab), unhex("0a0b0c")}) {
        auto m = kSigner.sign_message(kKey, bytes);
        auto t = kSigner.sign_transaction(kKey, bytes);
        ASSERT_TRUE(m.has_value() && t.has_value());
        EXPECT_EQ(m->signature, t->signature);
        // A 32-byte input is hashed again, never signed as a digest.
        qel_test::expect_valid_signature(*m, qel_signer::sha256(bytes), pub);
    }
}

}  // namespace
