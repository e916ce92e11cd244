#include "qel_signer/chains/tron.hpp"

#include <gtest/gtest.h>

#include <string>

#include "qel_signer/chains/evm.hpp"
#include "qel_signer/encoding.hpp"
#include "qel_signer/hash.hpp"
#include "qel_signer/secp256k1.hpp"
#include "../secp256k1_check.hpp"
#include "../test_data.hpp"

using qel_signer::Bytes;
using qel_signer::chains::TronSigner;
using qel_test::to_bytes;
using qel_test::unhex;

namespace {

const TronSigner kSigner;

Bytes pubkey_of(const Bytes& key) {
    auto pub = qel_signer::secp256k1::compressed_public_key(key);
    return pub ? Bytes(pub->begin(), pub->end()) : Bytes{};
}

TEST(TronAddress, PublishedAndKnownAccounts) {
    const auto data = qel_test::load_vectors("tron.json");
    for (const auto& v : data["addresses"]) {
        const auto key = unhex(v["private_key_hex"]);
        auto address = kSigner.derive_address(key);
        ASSERT_TRUE(address.has_value());
        EXPECT_EQ(*address, v["address"].get<std::string>());
        EXPECT_EQ(address->size(), 34u);
        auto payload = qel_signer::base58check_decode(*address);
        ASSERT_TRUE(payload.has_value());
        EXPECT_EQ(qel_signer::hex_encode(*payload), v["payload_hex"].get<std::string>());
        // The EVM account of the same key carries the same 20 bytes.
        EXPECT_EQ(qel_signer::chains::EvmSigner().derive_address(key), v["evm_address_same_key"].get<std::string>());
    }
    for (const auto& v : data["message_signatures"]) {
        EXPECT_EQ(kSigner.derive_address(unhex(v["private_key_hex"])), v["address"].get<std::string>());
    }
    for (const auto& v : qel_test::vector_section("known-addresses.json", "/addresses")) {
        if (v["family"] != "tron") continue;
        EXPECT_EQ(kSigner.derive_address(unhex(v["private_key_hex"])), v["address"].get<std::string>());
    }
}

TEST(TronSign, PublishedMessageSignaturesWithRawRecoveryId) {
    for (const auto& v : qel_test::vector_section("tron.json", "/message_signatures")) {
        const auto key = unhex(v["private_key_hex"]);
        auto out = kSigner.sign_message(key, to_bytes(v["message_utf8"].get<std::string>()));
        ASSERT_TRUE(out.has_value());
        EXPECT_EQ(qel_signer::hex_encode(out->signature), v["signature_hex_raw_recovery_id"].get<std::string>());
        EXPECT_EQ(out->recovery_id, v["recovery_id"].get<int>());
        qel_test::expect_valid_signature(*out, unhex(v["message_hash_hex"]), pubkey_of(key));
    }
}

TEST(TronSign, PublishedTransactionSignatures) {
    for (const auto& v : qel_test::vector_section("tron.json", "/transactions")) {
        const auto key = unhex(v["private_key_hex"]);
        auto out = kSigner.sign_transaction(key, unhex(v["raw_data_hex"]));
        ASSERT_TRUE(out.has_value());
        EXPECT_EQ(qel_signer::hex_encode(out->signature), v["signature_hex"].get<std::string>());
        EXPECT_EQ(out->recovery_id, v["recovery_id"].get<int>());
        qel_test::expect_valid_signature(*out, unhex(v["txid_sha256_hex"]), pubkey_of(key));
    }
}

TEST(TronSign, EmptyMessageAndDifferenceFromEvm) {
    const auto key = unhex("75065f100e38d3f3b4c5c4235834ba8216de62272a4f03532c44b31a5734360a");
    auto out = kSigner.sign_message(key, {});
    ASSERT_TRUE(out.has_value());
    qel_test::expect_valid_signature(*out, qel_signer::keccak256(to_bytes("\x19TRON Signed Message:\n0")),
                                     pubkey_of(key));
    auto evm = qel_signer::chains::EvmSigner().sign_message(key, {});
    ASSERT_TRUE(evm.has_value());
    EXPECT_NE(Bytes(out->signature.begin(), out->signature.begin() + 64),
              Bytes(evm->signature.begin(), evm->signature.begin() + 64));
}

}  // namespace
