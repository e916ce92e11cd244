#include "qel_signer/chains/solana.hpp"

#include <gtest/gtest.h>
#include <sodium.h>

#include <string>

#include "qel_signer/ed25519.hpp"
#include "qel_signer/encoding.hpp"
#include "../test_data.hpp"

namespace {

using namespace qel_signer;
using chains::SolanaSigner;
namespace solana = chains::solana;

Bytes unhex(std::string_view h) { return hex_decode(h).value(); }
Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

const Bytes kSeed = unhex("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60");

TEST(Ed25519, Rfc8032VectorsSignAndVerify) {
    ASSERT_GE(sodium_init(), 0);
    const SolanaSigner signer;
    const auto data = qel_test::load_vectors("rfc8032-ed25519.json");
    for (const auto& v : data["vectors"]) {
        const Bytes seed = unhex(v["secret_key_hex"].get<std::string>());
        const Bytes msg = unhex(v["message_hex"].get<std::string>());
        const auto pub = ed25519::public_key(seed);
        ASSERT_TRUE(pub.has_value());
        EXPECT_EQ(hex_encode(*pub), v["public_key_hex"].get<std::string>());
        const auto sig = signer.sign(seed, msg);
        ASSERT_TRUE(sig.has_value());
        EXPECT_EQ(hex_encode(sig->signature), v["signature_hex"].get<std::string>()) << v["name"].get<std::string>();
        EXPECT_FALSE(sig->recovery_id.has_value());
        EXPECT_EQ(crypto_sign_verify_detached(sig->signature.data(), msg.data(), msg.size(), pub->data()), 0);
        // No prefix or hash: message and transaction signing are the same primitive.
        EXPECT_EQ(signer.sign_message(seed, msg)->signature, sig->signature);
        EXPECT_EQ(signer.sign_transaction(seed, msg)->signature, sig->signature);
    }
}

TEST(Ed25519, RejectsKeysOfOtherLengths) {
    const SolanaSigner signer;
    for (std::size_t n : {0u, 31u, 33u, 64u}) {
        const Bytes key(n, 7);
        const std::string text = "invalid private key: expected 32 bytes, got " + std::to_string(n);
        EXPECT_EQ(signer.derive_address(key).error().message(), text);
        EXPECT_EQ(signer.sign(key, Bytes{1}).error().message(), text);
        EXPECT_EQ(signer.sign_message(key, Bytes{}).error().message(), text);
        EXPECT_EQ(signer.sign_transaction(key, Bytes{}).error().message(), text);
    }
}

TEST(Solana, KnownAddresses) {
    const SolanaSigner signer;
    const auto data = qel_test::load_vectors("known-addresses.json");
    int seen = 0;
    for (const auto& a : data["addresses"]) {
        if (a["family"] != "solana") continue;
        ++seen;
        EXPECT_EQ(signer.derive_address(unhex(a["private_key_hex"].get<std::string>())).value(),
                  a["address"].get<std::string>());
        EXPECT_EQ(base58_encode(unhex(a["public_key_hex"].get<std::string>())), a["address"].get<std::string>());
    }
    EXPECT_EQ(seen, 2);
}

TEST(Solana, LeadingZeroPublicKeyBytesBecomeOnes) {
    const SolanaSigner signer;
    Bytes seed(32, 0);
    for (std::uint32_t i = 0;; ++i) {
        seed[0] = static_cast<std::uint8_t>(i);
        seed[1] = static_cast<std::uint8_t>(i >> 8);
        if (ed25519::public_key(seed).value()[0] == 0) break;
    }
    const auto pub = ed25519::public_key(seed).value();
    const std::string addr = signer.derive_address(seed).value();
    EXPECT_EQ(addr[0], '1');
    EXPECT_EQ(base58_decode(addr).value(), Bytes(pub.begin(), pub.end()));
}

TEST(Solana, Constants) {
    const SolanaSigner signer;
    EXPECT_EQ(signer.coin_type(), 501u);
    EXPECT_EQ(signer.curve(), Curve::Ed25519);
    EXPECT_EQ(signer.chain_type(), qel_core::ChainType::Solana);
    EXPECT_EQ(signer.default_derivation_path(0), "m/44'/501'/0'/0'");
    EXPECT_EQ(signer.default_derivation_path(4294967295u), "m/44'/501'/4294967295'/0'");
}

TEST(Solana, BroadcastPathSignsMessageAndFillsSlotZero) {
    const SolanaSigner signer;
    const Bytes message{0x01, 0x00, 0x01, 0x03, 0xaa};
    const Bytes slot2(64, 0x22);
    const Bytes tx = concat({Bytes{0x02}, Bytes(64, 0), slot2, message});

    const auto signable = signer.extract_signable_bytes(tx);
    ASSERT_TRUE(signable.has_value());
    EXPECT_EQ(Bytes(signable->begin(), signable->end()), message);
    EXPECT_EQ(signable->data(), tx.data() + 129);  // a view, not a copy

    const auto sig = signer.sign_transaction(kSeed, *signable).value();
    const auto pub = ed25519::public_key(kSeed).value();
    EXPECT_EQ(crypto_sign_verify_detached(sig.signature.data(), message.data(), message.size(), pub.data()), 0);
    EXPECT_EQ(signer.encode_signed_transaction(tx, sig).value(), concat({Bytes{0x02}, sig.signature, slot2, message}));

    // Zero slots: everything after the count byte is the message.
    const Bytes unsigned_tx{0x00, 0x05, 0x06};
    EXPECT_EQ(Bytes(signer.extract_signable_bytes(unsigned_tx)->begin(), signer.extract_signable_bytes(unsigned_tx)->end()),
              (Bytes{0x05, 0x06}));
    // Exactly 1 + 64n bytes: no message to extract, but the slots are all present.
    const Bytes no_message = concat({Bytes{0x01}, Bytes(64, 0)});
    EXPECT_EQ(signer.encode_signed_transaction(no_message, sig).value(), concat({Bytes{0x01}, sig.signature}));
}

TEST(Solana, RejectsMalformedTransactions) {
    const SolanaSigner signer;
    const SignOutput ed{Bytes(64, 0x5a), std::nullopt};
    const SignOutput secp{Bytes(65, 0x5a), std::uint8_t{0}};
    struct Case {
        Bytes tx;
        const char* extract;
        const char* encode;
    };
    const Case cases[] = {
        {{}, "invalid transaction: empty transaction", "invalid transaction: empty transaction"},
        {{0x00}, "invalid transaction: transaction too short for declared signature slots",
         "invalid transaction: transaction has no signature slots"},
        {concat({Bytes{0x01}, Bytes(63, 0)}), "invalid transaction: transaction too short for declared signature slots",
         "invalid transaction: transaction too short for declared signature slots"},
        {concat({Bytes{0x01}, Bytes(64, 0)}), "invalid transaction: transaction too short for declared signature slots",
         nullptr},
        {concat({Bytes{0x02}, Bytes(64, 0), Bytes{9}}),
         "invalid transaction: transaction too short for declared signature slots",
         "invalid transaction: transaction too short for declared signature slots"},
        {concat({Bytes{0xff}, Bytes(100, 0)}), "invalid transaction: transaction too short for declared signature slots",
         "invalid transaction: transaction too short for declared signature slots"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(signer.extract_signable_bytes(c.tx).error().message(), c.extract);
        if (c.encode != nullptr) {
            EXPECT_EQ(signer.encode_signed_transaction(c.tx, ed).error().message(), c.encode);
        }
        // The signature is checked before the transaction is looked at.
        EXPECT_EQ(signer.encode_signed_transaction(c.tx, secp).error().message(),
                  "invalid transaction: expected 64-byte Ed25519 signature");
    }
}

// Messages laid out by hand; their agreement with a node's own encoder is
// checked from Python against messages that an independent library builds.
const Bytes kKey(32, 0x11);
const Bytes kHash(32, 0x22);
const Bytes kLegacy = concat({unhex("010001" "01"), kKey, kHash, unhex("00")});        // no instruction
const Bytes kInstruction = concat({unhex("01" "00" "0100" "02aabb")});                // program 0, account 0, data aabb
const Bytes kWithInstruction = concat({unhex("010001" "01"), kKey, kHash, kInstruction});
const Bytes kV0 = concat({unhex("80"), kLegacy, unhex("01"), kKey, unhex("0100" "00")});  // one table lookup

TEST(SolanaMessageReader, DecodesExactlyTheMessage) {
    for (const Bytes& m : {kLegacy, kWithInstruction, kV0}) {
        EXPECT_EQ(solana::read_message(m).value(), m.size());
        // Whatever follows is not part of the message.
        EXPECT_EQ(solana::read_message(concat({m, unhex("00ff")})).value(), m.size());
        // Any cut ends inside some field.
        for (std::size_t n = 0; n < m.size(); ++n) {
            EXPECT_EQ(solana::read_message(ByteSpan(m).first(n)).error(), "truncated message") << n;
        }
    }
    // Three-byte counts: 0xffff keys would need far more bytes than present.
    EXPECT_EQ(solana::read_message(unhex("010001" "ffff03")).error(), "truncated message");
    const std::pair<const char*, std::string_view> refused[] = {
        {"81", "unsupported message version (expected legacy or 0)"},
        {"ff", "unsupported message version (expected legacy or 0)"},
        {"010001" "8000", "invalid compact-u16"},    // alias of 0
        {"010001" "818000", "invalid compact-u16"},  // alias of 1
        {"010001" "ffff04", "invalid compact-u16"},  // above 0xffff
        {"010001" "808080", "invalid compact-u16"},  // a fourth byte announced
    };
    for (const auto& [hex, text] : refused) EXPECT_EQ(solana::read_message(unhex(hex)).error(), text) << hex;
}

TEST(SolanaMessageReader, TransactionIsSlotsThenOneMessage) {
    EXPECT_TRUE(solana::check_transaction(concat({Bytes{1}, Bytes(64, 0), kLegacy})).has_value());
    EXPECT_TRUE(solana::check_transaction(concat({Bytes{2}, Bytes(128, 0), kV0})).has_value());
    const std::pair<Bytes, std::string_view> refused[] = {
        {{}, "empty transaction"},
        {concat({Bytes{0}, kLegacy}), "transaction has no signature slots"},
        {concat({Bytes{0x80}, Bytes(64 * 0x80, 0), kLegacy}), "more than 127 signature slots"},
        {concat({Bytes{1}, Bytes(64, 0)}), "transaction too short for declared signature slots"},
        {concat({Bytes{1}, Bytes(64, 0), kLegacy, Bytes{0}}), "trailing bytes after the message"},
        {concat({Bytes{1}, Bytes(64, 0), unhex("81")}), "unsupported message version (expected legacy or 0)"},
    };
    for (const auto& [tx, text] : refused) EXPECT_EQ(solana::check_transaction(tx).error(), text);
}

}  // namespace
