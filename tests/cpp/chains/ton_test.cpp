#include "qel_signer/chains/ton.hpp"

#include <gtest/gtest.h>
#include <sodium.h>

#include <array>
#include <string>

#include "qel_signer/ed25519.hpp"
#include "qel_signer/encoding.hpp"
#include "../test_data.hpp"

namespace {

using namespace qel_signer;
using chains::TonSigner;

Bytes unhex(std::string_view h) { return hex_decode(h).value(); }

TEST(Ton, V5r1IntermediatesAndAddresses) {
    const TonSigner signer;
    const auto data = qel_test::load_vectors("ton-v5r1.json");
    ASSERT_EQ(data["code_hash_hex"], "20834b7b72b112147e1b2fb457b84e74d1a30f04f737d4f62a668e9552d2b72f");
    for (const auto& v : data["vectors"]) {
        SCOPED_TRACE(v["name"].get<std::string>());
        const Bytes key = unhex(v["private_key_hex"].get<std::string>());
        const auto pub = ed25519::public_key(key).value();
        EXPECT_EQ(hex_encode(pub), v["public_key_hex"].get<std::string>());

        const Hash32 data_hash = chains::ton::wallet_data_cell_hash(pub);
        EXPECT_EQ(hex_encode(data_hash), v["data_cell_hash_hex_computed"].get<std::string>());
        const Hash32 account = chains::ton::state_init_hash(data_hash);
        EXPECT_EQ(hex_encode(account), v["account_id_hex_computed"].get<std::string>());
        EXPECT_EQ(hex_encode(sha256(unhex(v["state_init_repr_hex_computed"].get<std::string>()))), hex_encode(account));

        const std::string addr = signer.derive_address(key).value();
        EXPECT_EQ(addr, v["address_non_bounceable"].get<std::string>());
        const Bytes raw = base64url_decode(addr).value();
        ASSERT_EQ(raw.size(), 36u);
        EXPECT_EQ(raw[0], 0x51);
        EXPECT_EQ(raw[1], 0x00);
        EXPECT_EQ(hex_encode(ByteSpan(raw).subspan(34)), v["crc16_xmodem_hex_computed"].get<std::string>());
        EXPECT_EQ(crc16_xmodem(ByteSpan(raw).first(34)), (raw[34] << 8) | raw[35]);
    }
}

TEST(Ton, KnownAddresses) {
    const TonSigner signer;
    const auto data = qel_test::load_vectors("known-addresses.json");
    int seen = 0;
    for (const auto& a : data["addresses"]) {
        if (a["family"] != "ton") continue;
        ++seen;
        EXPECT_EQ(signer.derive_address(unhex(a["private_key_hex"].get<std::string>())).value(),
                  a["address"].get<std::string>());
    }
    EXPECT_EQ(seen, 2);
}

TEST(Ton, OneBitOfKeyChangesAccount) {
    const TonSigner signer;
    Bytes key(32, 0x42);
    const std::string a = signer.derive_address(key).value();
    EXPECT_EQ(a, signer.derive_address(key).value());
    key[31] ^= 1;
    const std::string b = signer.derive_address(key).value();
    const Bytes ra = base64url_decode(a).value();
    const Bytes rb = base64url_decode(b).value();
    EXPECT_NE(Bytes(ra.begin() + 2, ra.begin() + 34), Bytes(rb.begin() + 2, rb.begin() + 34));
    EXPECT_EQ(b.size(), 48u);
    EXPECT_EQ(b.substr(0, 2), "UQ");
}

TEST(Ton, SigningIsPlainEd25519) {
    ASSERT_GE(sodium_init(), 0);
    const TonSigner signer;
    const Bytes key(32, 0x11);
    const Bytes msg{'t', 'o', 'n'};
    const auto pub = ed25519::public_key(key).value();
    const auto sig = signer.sign(key, msg).value();
    ASSERT_EQ(sig.signature.size(), 64u);
    EXPECT_FALSE(sig.recovery_id.has_value());
    EXPECT_EQ(crypto_sign_verify_detached(sig.signature.data(), msg.data(), msg.size(), pub.data()), 0);
    EXPECT_EQ(signer.sign_message(key, msg)->signature, sig.signature);
    EXPECT_EQ(signer.sign_transaction(key, msg)->signature, sig.signature);
    EXPECT_FALSE(signer.sign_message(key, msg)->recovery_id.has_value());
}

TEST(Ton, FailuresAndDefaults) {
    const TonSigner signer;
    for (std::size_t n : {0u, 31u, 64u}) {
        const std::string text = "invalid private key: expected 32 bytes, got " + std::to_string(n);
        EXPECT_EQ(signer.derive_address(Bytes(n, 1)).error().message(), text);
        EXPECT_EQ(signer.sign(Bytes(n, 1), Bytes{}).error().message(), text);
        EXPECT_EQ(signer.sign_message(Bytes(n, 1), Bytes{}).error().message(), text);
        EXPECT_EQ(signer.sign_transaction(Bytes(n, 1), Bytes{}).error().message(), text);
    }
    const SignOutput out{Bytes(64, 0), std::nullopt};
    EXPECT_EQ(signer.encode_signed_transaction(Bytes{1, 2}, out).error().message(),
              "invalid transaction: encode_signed_transaction not implemented for ton");
    const Bytes tx{1, 2, 3};
    EXPECT_EQ(signer.extract_signable_bytes(tx)->data(), tx.data());
    EXPECT_EQ(signer.default_derivation_path(0), "m/44'/607'/0'");
    EXPECT_EQ(signer.default_derivation_path(4294967295u), "m/44'/607'/4294967295'");
    EXPECT_EQ(signer.coin_type(), 607u);
    EXPECT_EQ(signer.curve(), Curve::Ed25519);
}

}  // namespace
