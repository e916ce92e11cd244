#include "qel_signer/chains/bitcoin.hpp"

#include <gtest/gtest.h>

#include <string>

#include "qel_signer/encoding.hpp"
#include "qel_signer/hash.hpp"
#include "qel_signer/secp256k1.hpp"
#include "../secp256k1_check.hpp"
#include "../test_data.hpp"

using qel_signer::Bytes;
using qel_signer::chains::BitcoinSigner;
using qel_test::to_bytes;
using qel_test::unhex;

namespace {

const BitcoinSigner kSigner("bc");
const auto kKey = unhex("4604b4b710fe91f584fff084e1a9159fe4f8408fff380596a604948474ce4fa3");
const auto kPub = unhex("0330d54fd0dd420a6e5f8d3624f5f3482cae350f79d5f0753bf5beef9c2d91af3c");

TEST(BitcoinAddress, Bip84AndKnownAccounts) {
    int checked = 0;
    for (const auto& v : qel_test::vector_section("bech32.json", "/bip84/addresses")) {
        auto address = kSigner.derive_address(unhex(v["private_key_hex"]));
        ASSERT_TRUE(address.has_value());
        EXPECT_EQ(*address, v["address"].get<std::string>());
        EXPECT_EQ(address->size(), 42u);
        auto decoded = qel_signer::segwit_decode("bc", *address);
        ASSERT_TRUE(decoded.has_value());
        EXPECT_EQ(decoded->version, 0);
        EXPECT_EQ(qel_signer::hex_encode(decoded->program), v["hash160_hex"].get<std::string>());
        ++checked;
    }
    for (const auto& v : qel_test::vector_section("known-addresses.json", "/addresses")) {
        if (v["family"] != "bitcoin") continue;
        EXPECT_EQ(kSigner.derive_address(unhex(v["private_key_hex"])), v["address"].get<std::string>());
        ++checked;
    }
    EXPECT_EQ(checked, 5);
}

TEST(BitcoinAddress, RejectedHrpReportsTheBech32Text) {
    for (std::string hrp : {std::string(), std::string("Bc"), std::string(84, 'a')}) {
        auto expected = qel_signer::bech32_validate_hrp(hrp);
        ASSERT_FALSE(expected.has_value()) << hrp;
        auto r = BitcoinSigner(hrp).derive_address(kKey);
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error().message(), "address derivation failed: " + expected.error());
    }
}

Bytes message_form(const Bytes& compact_size, std::size_t len) {
    std::string form = "\x18" "Bitcoin Signed Message:\n";
    for (auto b : compact_size) form.push_back(static_cast<char>(b));
    form.append(len, 'm');
    return to_bytes(form);
}

TEST(BitcoinSign, MessageFormAndTransactionDigest) {
    const std::vector<std::pair<std::size_t, Bytes>> lengths{
        {0, {0x00}}, {252, {0xfc}}, {253, {0xfd, 0xfd, 0x00}}, {70000, {0xfe, 0x70, 0x11, 0x01, 0x00}}};
    for (const auto& [len, prefix] : lengths) {
        auto out = kSigner.sign_message(kKey, Bytes(len, 'm'));
        ASSERT_TRUE(out.has_value());
        EXPECT_LE(*out->recovery_id, 3);
        qel_test::expect_valid_signature(*out, qel_signer::double_sha256(message_form(prefix, len)), kPub);
    }
    for (const Bytes& tx : {Bytes{}, unhex("0100000001")}) {
        auto out = kSigner.sign_transaction(kKey, tx);
        ASSERT_TRUE(out.has_value());
        qel_test::expect_valid_signature(*out, qel_signer::double_sha256(tx), kPub);
    }
}

}  // namespace
