#include "qel_signer/verify.hpp"

#include <algorithm>

#include "qel_signer/signer.hpp"
#include "support.hpp"

namespace {

using qel_core::ChainType;
using qel_signer::ByteSpan;
using qel_signer::Bytes;
using qel_signer::signer_for_chain;
using qel_signer::verify::verify_message;
using qel_test::error_of;
using qel_test::unhex;
using std::nullopt;

struct Account {
    Bytes key;
    std::string address;
    Bytes public_key;  // compressed SEC1 or Ed25519
    nlohmann::json vector;
};

// The "abandon ... about" account at index 0 or 1 of a family.
Account account(std::string_view family, int index) {
    for (const auto& v : qel_test::load_vectors("known-addresses.json", "/addresses")) {
        if (v["family"].get<std::string>() != family || index-- > 0) continue;
        const std::string pub = v.contains("public_key_hex") ? v["public_key_hex"] : v["public_key_hex_compressed"];
        return {unhex(v["private_key_hex"]), v["address"], unhex(pub), v};
    }
    throw std::out_of_range("no such account");
}

Bytes sign(ChainType family, const Bytes& key, ByteSpan message) {
    return signer_for_chain(family)->sign_message(key, message).value().signature;
}

const Bytes kMessage = qel_test::to_bytes("m");

// Each family accepts what it signed under its address, alone or with the
// key, and not under another account's. Damaged messages and signatures, by
// key, are compared with independent libraries from Python.
TEST(VerifyMessage, InverseOfSignMessageOnlyTonAddressesInEveryForm) {
    for (auto family : qel_core::UNIVERSAL_ORDER) {
        const auto name = qel_core::to_string(family);
        const Account a = account(name, 0);
        const Account b = account(name, 1);
        const Bytes sig = sign(family, a.key, kMessage);
        const auto verify = [&](const Bytes& m, std::optional<std::string_view> address, const Bytes* key) {
            return verify_message(family, m, sig, address, key ? std::optional<ByteSpan>(*key) : nullopt).value();
        };
        EXPECT_TRUE(verify(kMessage, a.address, &a.public_key)) << name;
        EXPECT_TRUE(family == ChainType::Ton || verify(kMessage, a.address, nullptr)) << name;  // TON needs the key
        EXPECT_FALSE(verify(kMessage, b.address, &a.public_key)) << name;
    }
    // r = 0 and r = n are not signatures at all; a recovery byte beyond 27 + 3 names no key.
    const Account a = account("evm", 0);
    Bytes v31 = sign(ChainType::Evm, a.key, kMessage), r0 = v31, rn = v31;
    v31[64] = 31;
    std::fill_n(r0.begin(), 32, 0);
    std::ranges::copy(unhex("fffffffffffffffffffffffffffffffebaaedce6af48a03bbfd25e8cd0364141"), rn.begin());
    for (const Bytes& bad : {v31, r0, rn}) {
        EXPECT_FALSE(verify_message(ChainType::Evm, kMessage, bad, a.address, nullopt).value());
    }
    const Account ton = account("ton", 0);
    const Bytes ton_sig = sign(ChainType::Ton, ton.key, kMessage);
    std::string bounceable = ton.vector["ton_bounceable_address"], standard = bounceable;
    std::ranges::replace(standard, '-', '+');
    std::ranges::replace(standard, '_', '/');
    const std::string id = ton.vector["ton_account_id_hex"];
    for (const std::string& form : {ton.address, bounceable, standard, "0:" + id}) {
        EXPECT_TRUE(verify_message(ChainType::Ton, kMessage, ton_sig, form, ByteSpan(ton.public_key)).value()) << form;
    }
    EXPECT_FALSE(verify_message(ChainType::Ton, kMessage, ton_sig, "-1:" + id, ByteSpan(ton.public_key)).value());
}

TEST(VerifyMessage, MalformedInputSaysWhat) {
    const Bytes secp(65, 1), ed(64, 1);
    const std::optional<std::string> none;
    const std::tuple<ChainType, Bytes, std::optional<std::string>, std::optional<Bytes>, std::string> cases[] = {
        {ChainType::Ton, ed, "x", nullopt, "a TON address does not reveal its key: a public key is needed"},
        {ChainType::Cosmos, ed, "x", nullopt, "a 64-byte signature (r || s) needs the public key to verify"},
        {ChainType::Evm, Bytes(63, 1), "x", nullopt,
         "expected a 65-byte signature (r || s || v) or a 64-byte one (r || s), got 63 bytes"},
        {ChainType::Solana, secp, "x", nullopt, "expected a 64-byte signature, got 65 bytes"},
        {ChainType::Tron, secp, none, Bytes(33, 5), "invalid public key: not a 33- or 65-byte SEC1 point of secp256k1"},
        {ChainType::Ton, ed, none, Bytes(31, 1), "invalid public key: expected 32 bytes, got 31"},
        {ChainType::Evm, secp, "0x1234", nullopt, "invalid address: expected \"0x\" and 40 hex digits"},
        {ChainType::Evm, secp, "0x" + std::string(39, '0') + "g", nullopt,
         "invalid address: Invalid character 'g' at position 39"},
        {ChainType::Evm, secp, "0x9858efFD232B4033E47d90003D41EC34EcaEda94", nullopt,
         "invalid address: EIP-55 checksum mismatch"},
        {ChainType::Bitcoin, secp, "bc1Qw508d6qejxtdg4y5r3zarvary0c5xw7kv8f3t4", nullopt, "invalid address: mixed case"},
        {ChainType::Bitcoin, secp, "tb1qw508d6qejxtdg4y5r3zarvary0c5xw7kxpjzsx", nullopt,
         "invalid address: not a mainnet address (`tb1...`)"},
        {ChainType::Bitcoin, secp, "mipcBbFg9gMiCh81Kj8tqqdgoZub1ZJRfn", nullopt,
         "invalid address: not a mainnet P2PKH or P2SH address"},
        {ChainType::Cosmos, secp, "cosmos1qqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqq", nullopt,
         "invalid address: invalid checksum"},
        {ChainType::Tron, secp, "TUEZSdKsoDHQMeZwihtdoBiN46zxhGWYdJ", nullopt,
         "invalid address: invalid base58check checksum"},
        {ChainType::Solana, ed, "0OIl", nullopt, "invalid address: invalid base58 character at position 0"},
        {ChainType::Solana, ed, "11111111", nullopt, "invalid address: expected 32 bytes, got 8"},
        {ChainType::Ton, ed, "UQ", Bytes(32, 1), "invalid address: expected 48 characters"},
    };
    for (const auto& [family, signature, address, key, error] : cases) {
        const auto claimed = address ? std::optional<std::string_view>(*address) : nullopt;
        EXPECT_EQ(error_of(verify_message(family, kMessage, signature, claimed,
                                          key ? std::optional<ByteSpan>(*key) : nullopt)),
                  error);
    }
}

}  // namespace
