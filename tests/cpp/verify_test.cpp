#include "qel_signer/verify.hpp"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "qel_signer/chains/ton.hpp"
#include "qel_signer/ed25519.hpp"
#include "qel_signer/encoding.hpp"
#include "qel_signer/secp256k1.hpp"
#include "qel_signer/signer.hpp"
#include "secp256k1_check.hpp"

namespace {

using qel_core::ChainType;
using qel_signer::ByteSpan;
using qel_signer::Bytes;
using qel_signer::verify::verify_message;

struct Account {
    Bytes key;
    std::string address;
    Bytes public_key;  // compressed SEC1 or Ed25519
};

// The "abandon ... about" accounts at index 0 and 1 of every family.
std::map<std::pair<std::string, int>, Account> accounts() {
    std::map<std::pair<std::string, int>, Account> out;
    for (const auto& v : qel_test::load_vectors("known-addresses.json", "/addresses")) {
        const std::string family = v["family"];
        // The account index: the third step for Solana and TON, the last one elsewhere.
        std::vector<std::string> steps;
        std::stringstream path(v["path"].get<std::string>());
        for (std::string step; std::getline(path, step, '/');) steps.push_back(step);
        const std::string& at = family == "solana" || family == "ton" ? steps.at(3) : steps.back();
        const int index = std::stoi(at);
        const Bytes key = qel_test::unhex(v["private_key_hex"]);
        Bytes pub;
        if (family == "solana" || family == "ton") {
            auto p = qel_signer::ed25519::public_key(key);
            pub.assign(p->begin(), p->end());
        } else {
            auto p = qel_signer::secp256k1::compressed_public_key(key);
            pub.assign(p->begin(), p->end());
        }
        out[{family, index}] = Account{key, v["address"], pub};
    }
    return out;
}

Bytes sign(ChainType family, const Bytes& key, ByteSpan message) {
    auto out = qel_signer::signer_for_chain(family)->sign_message(key, message);
    EXPECT_TRUE(out.has_value());
    return out ? out->signature : Bytes{};
}

std::optional<std::string_view> none_address() { return std::nullopt; }

TEST(VerifyMessage, RecoveryByteAndHighS) {
    const auto all = accounts();
    const Account& a = all.at({"evm", 0});
    const Bytes message = qel_test::to_bytes("m");
    Bytes sig = sign(ChainType::Evm, a.key, message);  // v is 27 or 28
    ASSERT_TRUE(sig[64] == 27 || sig[64] == 28);
    Bytes raw = sig;
    raw[64] -= 27;
    EXPECT_EQ(verify_message(ChainType::Evm, message, raw, a.address, std::nullopt), true);
    for (std::uint8_t v : {static_cast<std::uint8_t>(sig[64] ^ 1), std::uint8_t{4}, std::uint8_t{26}, std::uint8_t{31}}) {
        Bytes changed = sig;
        changed[64] = v;
        EXPECT_EQ(verify_message(ChainType::Evm, message, changed, a.address, std::nullopt), false) << int(v);
    }
    // (r, n - s) with the other parity is the same signature in high-S form.
    const Bytes n = qel_test::unhex("fffffffffffffffffffffffffffffffebaaedce6af48a03bbfd25e8cd0364141");
    Bytes high = sig;
    int borrow = 0;
    for (int i = 31; i >= 0; --i) {
        const int d = n[i] - sig[32 + i] - borrow;
        high[32 + i] = static_cast<std::uint8_t>(d & 0xFF);
        borrow = d < 0 ? 1 : 0;
    }
    high[64] = static_cast<std::uint8_t>(sig[64] ^ 1);
    EXPECT_EQ(verify_message(ChainType::Evm, message, high, a.address, std::nullopt), false);
    // r = 0 and r = n are not signatures at all.
    for (const Bytes& r : {Bytes(32, 0), n}) {
        Bytes bad = sig;
        std::copy(r.begin(), r.end(), bad.begin());
        EXPECT_EQ(verify_message(ChainType::Evm, message, bad, a.address, std::nullopt), false);
    }
}

TEST(VerifyMessage, TonAddressesInEveryForm) {
    const auto all = accounts();
    const Account& a = all.at({"ton", 0});
    const Bytes message = qel_test::to_bytes("m");
    const Bytes sig = sign(ChainType::Ton, a.key, message);
    auto account = qel_signer::chains::ton::parse_address(a.address);
    ASSERT_TRUE(account.has_value());
    Bytes bounceable = *qel_signer::base64url_decode(a.address);
    bounceable[0] = 0x11;
    const std::uint16_t crc = qel_signer::crc16_xmodem(ByteSpan(bounceable).first(34));
    bounceable[34] = static_cast<std::uint8_t>(crc >> 8);
    bounceable[35] = static_cast<std::uint8_t>(crc & 0xFF);
    std::string standard = qel_signer::base64_encode(bounceable);  // '+' and '/' where URL-safe has '-' and '_'
    for (const std::string& form : {a.address, qel_signer::base64url_encode(bounceable), standard,
                                    "0:" + qel_signer::hex_encode(account->account_id)}) {
        EXPECT_EQ(verify_message(ChainType::Ton, message, sig, form, ByteSpan(a.public_key)), true) << form;
    }
    EXPECT_EQ(verify_message(ChainType::Ton, message, sig, "-1:" + qel_signer::hex_encode(account->account_id),
                             ByteSpan(a.public_key)),
              false);
}

TEST(VerifyMessage, MalformedInputSaysWhat) {
    const auto all = accounts();
    const Bytes m = qel_test::to_bytes("m");
    const Bytes secp_sig(65, 1);
    const Bytes ed_sig(64, 1);
    const Bytes ed_key(32, 1);
    struct Case {
        ChainType family;
        Bytes signature;
        std::optional<std::string> address;
        std::optional<Bytes> public_key;
        std::string error;
    };
    const Case cases[] = {
        {ChainType::Evm, secp_sig, std::nullopt, std::nullopt, "an address or a public key is needed to verify"},
        {ChainType::Ton, ed_sig, all.at({"ton", 0}).address, std::nullopt,
         "a TON address does not reveal its key: a public key is needed"},
        {ChainType::Cosmos, Bytes(64, 1), all.at({"cosmos", 0}).address, std::nullopt,
         "expected a 65-byte signature (r || s || v), got 64 bytes"},
        {ChainType::Solana, Bytes(65, 1), all.at({"solana", 0}).address, std::nullopt,
         "expected a 64-byte signature, got 65 bytes"},
        {ChainType::Tron, secp_sig, std::nullopt, Bytes(33, 5),
         "invalid public key: not a 33- or 65-byte SEC1 point of secp256k1"},
        {ChainType::Ton, ed_sig, std::nullopt, Bytes(31, 1), "invalid public key: expected 32 bytes, got 31"},
        {ChainType::Evm, secp_sig, "0x1234", std::nullopt, "invalid address: expected \"0x\" and 40 hex digits"},
        {ChainType::Evm, secp_sig, "0x" + std::string(39, '0') + "g", std::nullopt,
         "invalid address: Invalid character 'g' at position 39"},
        {ChainType::Evm, secp_sig, "0x9858efFD232B4033E47d90003D41EC34EcaEda94", std::nullopt,
         "invalid address: EIP-55 checksum mismatch"},
        {ChainType::Bitcoin, secp_sig, "1BvBMSEYstWetqTFn5Au4m4GFg7xJaNVN2", std::nullopt,
         "invalid address: mixed case"},
        {ChainType::Cosmos, secp_sig, "cosmos1qqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqq", std::nullopt,
         "invalid address: invalid checksum"},
        {ChainType::Tron, secp_sig, "TUEZSdKsoDHQMeZwihtdoBiN46zxhGWYdJ", std::nullopt,
         "invalid address: invalid base58check checksum"},
        {ChainType::Solana, ed_sig, "0OIl", std::nullopt, "invalid address: invalid base58 character at position 0"},
        {ChainType::Solana, ed_sig, "11111111", std::nullopt, "invalid address: expected 32 bytes, got 8"},
        {ChainType::Ton, ed_sig, "UQ", ed_key, "invalid address: expected 48 characters"},
    };
    for (const auto& c : cases) {
        const std::optional<std::string_view> address =
            c.address ? std::optional<std::string_view>(*c.address) : none_address();
        const std::optional<ByteSpan> key = c.public_key ? std::optional<ByteSpan>(*c.public_key) : std::nullopt;
        auto r = verify_message(c.family, m, c.signature, address, key);
        ASSERT_FALSE(r.has_value()) << c.error;
        EXPECT_EQ(r.error(), c.error);
    }
}

}  // namespace
