#include "qel_signer/chains/solana.hpp"

#include "qel_signer/chains/ton.hpp"
#include "qel_signer/ed25519.hpp"
#include "../support.hpp"

namespace {

using namespace qel_signer;
using chains::SolanaSigner;
using qel_test::error_of;
using qel_test::unhex;
namespace solana = chains::solana;

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

const SolanaSigner kSigner;
const chains::TonSigner kTon;
const ChainSigner* const kBothFamilies[] = {&kSigner, &kTon};

// Both Ed25519 families sign the bytes as given, with no prefix or hash.
TEST(Ed25519, Rfc8032VectorsAndKeysOfOtherLengths) {
    for (const auto& v : qel_test::load_vectors("rfc8032-ed25519.json", "/vectors")) {
        const Bytes seed = unhex(v["secret_key_hex"]);
        const Bytes msg = unhex(v["message_hex"]);
        EXPECT_EQ(hex_encode(ed25519::public_key(seed).value()), v["public_key_hex"].get<std::string>());
        const auto sig = kSigner.sign(seed, msg).value();
        EXPECT_EQ(hex_encode(sig.signature), v["signature_hex"].get<std::string>()) << v["name"];
        for (const ChainSigner* s : kBothFamilies) {
            EXPECT_EQ(s->sign_message(seed, msg)->signature, sig.signature);
            EXPECT_EQ(s->sign_transaction(seed, msg)->signature, sig.signature);
        }
    }
    for (const ChainSigner* s : kBothFamilies) {
        for (std::size_t n : {0u, 31u, 33u, 64u}) {
            const Bytes key(n, 7);
            const std::string text = "invalid private key: expected 32 bytes, got " + std::to_string(n);
            EXPECT_EQ(error_of(s->derive_address(key)), text);
            EXPECT_EQ(error_of(s->sign(key, Bytes{1})), text);
            EXPECT_EQ(error_of(s->sign_message(key, Bytes{})), text);
            EXPECT_EQ(error_of(s->sign_transaction(key, Bytes{})), text);
        }
    }
}

TEST(SolanaTransaction, SignsTheMessageFillsSlotZeroAndRejectsMalformed) {
    const Bytes message{0x01, 0x00, 0x01, 0x03, 0xaa};
    const Bytes slot2(64, 0x22);
    const Bytes tx = concat({Bytes{0x02}, Bytes(64, 0), slot2, message});
    const ByteSpan signable = kSigner.extract_signable_bytes(tx).value();
    EXPECT_EQ(signable.data(), tx.data() + 129);  // a view, not a copy
    EXPECT_EQ(signable.size(), message.size());
    const SignOutput sig{Bytes(64, 0x5a), std::nullopt};
    EXPECT_EQ(kSigner.encode_signed_transaction(tx, sig).value(), concat({Bytes{0x02}, sig.signature, slot2, message}));
    // Zero slots: everything after the count byte is the message.
    const Bytes unsigned_tx{0x00, 0x05, 0x06};
    EXPECT_EQ(kSigner.extract_signable_bytes(unsigned_tx)->data(), unsigned_tx.data() + 1);
    // Exactly 1 + 64n bytes: no message to extract, but the slots are all present.
    const Bytes no_message = concat({Bytes{0x01}, Bytes(64, 0)});
    EXPECT_EQ(kSigner.encode_signed_transaction(no_message, sig).value(), concat({Bytes{0x01}, sig.signature}));
    const SignOutput secp{Bytes(65, 0x5a), std::uint8_t{0}};
    const std::string shorter = "invalid transaction: transaction too short for declared signature slots";
    const std::tuple<Bytes, std::string, std::string> cases[] = {  // extract, encode
        {{}, "invalid transaction: empty transaction", "invalid transaction: empty transaction"},
        {{0x00}, shorter, "invalid transaction: transaction has no signature slots"},
        {concat({Bytes{0x01}, Bytes(63, 0)}), shorter, shorter},
        {concat({Bytes{0x01}, Bytes(64, 0)}), shorter, "<succeeded>"},
        {concat({Bytes{0xff}, Bytes(100, 0)}), shorter, shorter},
    };
    for (const auto& [tx, extract, encode] : cases) {
        EXPECT_EQ(error_of(kSigner.extract_signable_bytes(tx)), extract);
        EXPECT_EQ(error_of(kSigner.encode_signed_transaction(tx, sig)), encode);
        // The signature is checked before the transaction is looked at.
        EXPECT_EQ(error_of(kSigner.encode_signed_transaction(tx, secp)),
                  "invalid transaction: expected 64-byte Ed25519 signature");
    }
}

// Messages laid out by hand; Python checks the reader against an independent library's.
const Bytes kKey(32, 0x11);
const Bytes kHash(32, 0x22);
const Bytes kLegacy = concat({unhex("010001" "01"), kKey, kHash, unhex("00")});  // no instruction
const Bytes kWithInstruction = concat({unhex("010001" "01"), kKey, kHash, unhex("01" "00" "0100" "02aabb")});
const Bytes kV0 = concat({unhex("80"), kLegacy, unhex("01"), kKey, unhex("0100" "00")});  // one table lookup

TEST(SolanaMessageReader, DecodesExactlyTheMessageAndTransactionIsSlotsThenOneMessage) {
    for (const Bytes& m : {kLegacy, kWithInstruction, kV0}) {
        EXPECT_EQ(solana::read_message(m).value(), m.size());  // whatever follows is not read: a fuzz invariant
        // Any cut ends inside some field.
        for (std::size_t n = 0; n < m.size(); ++n) {
            EXPECT_EQ(solana::read_message(ByteSpan(m).first(n)).error(), "truncated message") << n;
        }
    }
    const std::pair<const char*, std::string_view> refused[] = {
        {"010001" "ffff03", "truncated message"},  // 0xffff keys would need far more bytes than present
        {"81", "unsupported message version (expected legacy or 0)"},
        {"010001" "8000", "invalid compact-u16"}, {"010001" "ffff04", "invalid compact-u16"},  // 0 aliased, > 0xffff
    };
    for (const auto& [hex, text] : refused) EXPECT_EQ(solana::read_message(unhex(hex)).error(), text) << hex;
    // Transactions it passes, and its refusals of no slots and of too few bytes for them, are the Python tests'.
    const std::pair<Bytes, std::string_view> refused_tx[] = {
        {{}, "empty transaction"},
        {concat({Bytes{0x80}, Bytes(64 * 0x80, 0), kLegacy}), "more than 127 signature slots"},
        {concat({Bytes{1}, Bytes(64, 0), kLegacy, Bytes{0}}), "trailing bytes after the message"},
        {concat({Bytes{1}, Bytes(64, 0), unhex("81")}), "unsupported message version (expected legacy or 0)"},
    };
    for (const auto& [tx, text] : refused_tx) EXPECT_EQ(solana::check_transaction(tx).error(), text);
}

// The slot of the fee payer, of a co-signer and of a key that signs nothing
// are test_transactions.py's, on transactions that litesvm runs.
TEST(SolanaMessageReader, SignerSlotNeedsASlotForEachRequiredSigner) {
    const Bytes a(32, 0xa1), b(32, 0xb2), c(32, 0xc3);
    const Bytes message = concat({unhex("020001" "03"), a, b, c, kHash, unhex("00")});  // a pays, b co-signs
    EXPECT_EQ(solana::signer_slot(concat({Bytes{1}, Bytes(64, 0), message}), b).error(),
              "fewer signature slots than required signers");
}

}  // namespace
