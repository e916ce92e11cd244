#include "qel_signer/chains/cosmos.hpp"

#include "qel_signer/chains/bitcoin.hpp"
#include "qel_signer/hash.hpp"
#include "../secp256k1_check.hpp"

namespace {

using qel_signer::Bytes;
using qel_signer::chains::CosmosSigner;
using qel_test::unhex;

const CosmosSigner kSigner("cosmos");
const auto kKey = unhex("c4a48e2fce1481cd3294b4490f6678090ea98d3d0e5cd984558ab0968741b104");

TEST(CosmosAddress, KnownAccountsShareTheBitcoinHash) {
    for (const auto& v : qel_test::known_accounts("cosmos")) {
        const auto key = unhex(v["private_key_hex"]);
        const auto address = kSigner.derive_address(key).value();
        EXPECT_EQ(address, v["address"].get<std::string>());
        // Same HASH160 as the Bitcoin account of the key, only the text differs.
        auto program = qel_signer::segwit_decode("bc", qel_signer::chains::BitcoinSigner("bc").derive_address(key).value());
        EXPECT_EQ(qel_signer::convert_bits(qel_signer::bech32_decode(address).value().data5, 5, 8, false),
                  program.value().program);
    }
}

TEST(CosmosAddress, HrpFailuresCarryTheBech32Text) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "empty human-readable part"},
        {"Cosmos", "mixed case in human-readable part"},
        {std::string(84, 'a'), "human-readable part too long"},
    };
    for (const auto& [hrp, text] : cases) {
        EXPECT_EQ(qel_test::error_of(CosmosSigner(hrp).derive_address(kKey)), "address derivation failed: " + text);
    }
}

TEST(CosmosSign, MessagesAndTransactionsAreSha256OfTheBytes) {
    for (const Bytes& bytes : {Bytes{}, Bytes(32, 0xab), unhex("0a0b0c")}) {
        auto m = kSigner.sign_message(kKey, bytes);
        auto t = kSigner.sign_transaction(kKey, bytes);
        ASSERT_TRUE(m.has_value() && t.has_value());
        EXPECT_EQ(m->signature, t->signature);
        // A 32-byte input is hashed again, never signed as a digest.
        qel_test::expect_valid_signature(*m, qel_signer::sha256(bytes), kKey);
    }
}

}  // namespace
