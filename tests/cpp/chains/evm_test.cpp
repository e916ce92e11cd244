#include "qel_signer/chains/evm.hpp"

#include <gtest/gtest.h>

#include <string>

#include "qel_signer/hash.hpp"
#include "qel_signer/secp256k1.hpp"
#include "../secp256k1_check.hpp"
#include "../test_data.hpp"

using qel_signer::Bytes;
using qel_signer::chains::EvmSigner;
using qel_test::to_bytes;
using qel_test::unhex;

namespace {

const EvmSigner kSigner;

Bytes pubkey_of(const Bytes& key) {
    auto pub = qel_signer::secp256k1::compressed_public_key(key);
    return pub ? Bytes(pub->begin(), pub->end()) : Bytes{};
}

TEST(EvmAddress, Eip55Checksums) {
    for (const auto& v : qel_test::vector_section("eip55.json", "/vectors")) {
        const auto account = unhex(v["lowercase"].get<std::string>().substr(2));
        ASSERT_EQ(account.size(), 20u);
        EXPECT_EQ(qel_signer::chains::evm::checksum_address(std::span<const std::uint8_t, 20>(account.data(), 20)),
                  v["checksummed"].get<std::string>());
    }
}

TEST(EvmAddress, PublishedKeys) {
    for (const auto& v : qel_test::vector_section("known-addresses.json", "/addresses")) {
        if (v["family"] != "evm") continue;
        EXPECT_EQ(kSigner.derive_address(unhex(v["private_key_hex"])), v["address"].get<std::string>());
    }
    for (const auto& v : qel_test::vector_section("eip191.json", "/signatures")) {
        EXPECT_EQ(kSigner.derive_address(unhex(v["private_key_hex"])), v["address"].get<std::string>());
    }
}

TEST(EvmTransaction, Eip1559SignEncodeAndHash) {
    for (const auto& v : qel_test::vector_section("eip1559.json", "/vectors")) {
        const auto key = unhex(v["private_key_hex"]);
        const auto unsigned_tx = unhex(v["unsigned_hex"]);
        EXPECT_EQ(kSigner.derive_address(key), v["from_address"].get<std::string>());
        auto out = kSigner.sign_transaction(key, unsigned_tx);
        ASSERT_TRUE(out.has_value());
        EXPECT_EQ(qel_signer::hex_encode(out->signature), v["signature_rsv_hex"].get<std::string>());
        EXPECT_EQ(out->recovery_id, v["y_parity"].get<int>());
        qel_test::expect_valid_signature(*out, unhex(v["signing_hash_hex"]), pubkey_of(key));

        auto signed_tx = kSigner.encode_signed_transaction(unsigned_tx, *out);
        ASSERT_TRUE(signed_tx.has_value());
        EXPECT_EQ(qel_signer::hex_encode(*signed_tx), v["signed_hex"].get<std::string>());
        EXPECT_EQ(qel_signer::hex_encode(qel_signer::keccak256(*signed_tx)), v["tx_hash_hex"].get<std::string>());
    }
}

TEST(EvmMessage, Eip191PublishedSignatures) {
    for (const auto& v : qel_test::vector_section("eip191.json", "/signatures")) {
        const auto key = unhex(v["private_key_hex"]);
        auto out = kSigner.sign_message(key, unhex(v["message_hex"]));
        ASSERT_TRUE(out.has_value());
        EXPECT_EQ(qel_signer::hex_encode(out->signature), v["signature_hex"].get<std::string>());
        EXPECT_EQ(out->recovery_id, v["v"].get<int>());
        qel_test::expect_valid_signature(*out, unhex(v["message_hash_hex"]), pubkey_of(key), 27);
    }
}

TEST(EvmMessage, HashesThePersonalMessageForm) {
    const auto key = unhex("1ab42cc412b618bdea3a599e3c9bae199ebf030895b039e9db1e30dafb12b727");
    auto check = [&](const Bytes& message, const Bytes& digest) {
        auto out = kSigner.sign_message(key, message);
        ASSERT_TRUE(out.has_value());
        EXPECT_TRUE(*out->recovery_id == 27 || *out->recovery_id == 28);
        qel_test::expect_valid_signature(*out, digest, pubkey_of(key), 27);
    };
    for (const auto& v : qel_test::vector_section("eip191.json", "/hash_only")) {
        check(unhex(v["message_hex"]), unhex(v["message_hash_hex"]));
    }
    const auto empty = qel_signer::keccak256(to_bytes("\x19" "Ethereum Signed Message:\n0"));
    check({}, Bytes(empty.begin(), empty.end()));
    Bytes long_form = to_bytes("\x19" "Ethereum Signed Message:\n300");
    long_form.insert(long_form.end(), 300, 'a');
    const auto long_digest = qel_signer::keccak256(long_form);
    check(Bytes(300, 'a'), Bytes(long_digest.begin(), long_digest.end()));

    // Transactions carry the raw recovery id.
    auto tx = kSigner.sign_transaction(key, {});
    ASSERT_TRUE(tx.has_value());
    EXPECT_LE(*tx->recovery_id, 1);
    qel_test::expect_valid_signature(*tx, qel_signer::keccak256({}), pubkey_of(key));
}

TEST(EvmEncode, Failures) {
    const qel_signer::SignOutput good{Bytes(65, 0x11), 1};
    const std::vector<std::tuple<Bytes, qel_signer::SignOutput, std::string>> cases{
        {unhex("02c0"), {Bytes(64, 0x11), std::nullopt}, "expected 65-byte signature (r || s || v)"},
        {unhex("02c0"), {Bytes(66, 0x11), 1}, "expected 65-byte signature (r || s || v)"},
        {{}, good, "empty transaction"},
        {unhex("f86c098504a817c800825208"), good, "unsupported transaction type (expected 0x01 or 0x02)"},
        {unhex("02"), good, "empty input"},
        {unhex("02f8"), good, "truncated length"},
        {unhex("02c501"), good, "truncated RLP payload"},
    };
    for (const auto& [tx, sig, text] : cases) {
        auto r = kSigner.encode_signed_transaction(tx, sig);
        ASSERT_FALSE(r.has_value()) << text;
        EXPECT_EQ(r.error().message(), "invalid transaction: " + text);
    }
}

TEST(EvmEncode, WritesTheRecoveryByteAsGiven) {
    Bytes sig(65, 0);
    sig[31] = 5;
    sig[32] = 0x80;
    sig[64] = 27;  // a message signature's v passes through unchanged
    auto r = kSigner.encode_signed_transaction(unhex("02c3010203aa"), {sig, std::nullopt});
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(qel_signer::hex_encode(*r), "02e60102031b05a080" + std::string(62, '0'));
}

}  // namespace
