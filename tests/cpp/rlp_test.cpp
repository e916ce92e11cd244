#include "qel_signer/rlp.hpp"

#include "support.hpp"

namespace {

using qel_signer::Bytes;
using qel_signer::hex_encode;
using qel_test::error_of;
using qel_test::unhex;
namespace rlp = qel_signer::rlp;

const std::array<std::uint8_t, 32> kZero{};

// The signed form, or the error text.
std::string sign_zero(const std::string& tx_hex, std::uint8_t v = 0) {
    const auto out = rlp::encode_signed_typed_tx(unhex(tx_hex), v, kZero, kZero);
    return out ? hex_encode(*out) : "error: " + std::string(out.error());
}

TEST(Rlp, SigningMinimalFieldsHeadersAsGivenAndMalformedInOrder) {
    std::array<std::uint8_t, 32> r{}, s{0x80};  // s: 0x80 then 31 zero bytes
    r[31] = 5;
    const auto out = rlp::encode_signed_typed_tx(unhex("02c3010203"), 1, r, s);
    EXPECT_EQ(hex_encode(out.value()), "02e6010203" "01" "05" "a0" + hex_encode(s));
    // All-zero r and s shrink to the empty string 0x80.
    const std::pair<std::uint8_t, const char*> vs[] = {
        {0, "01c3808080"}, {1, "01c3018080"}, {0x7f, "01c37f8080"}, {0x80, "01c481808080"}};
    for (const auto& [v, encoded] : vs) EXPECT_EQ(sign_zero("01c0", v), encoded);
    const std::pair<std::string, std::string> cases[] = {
        // A non-minimal long header, a single byte and a string as the "list" are taken as given.
        {"02f80201029999", "02c501028080" "80"},
        {"0205", "02c405808080"}, {"02820102", "02c50102808080"},
        // A payload that pushes the new list past 55 bytes gets a long header.
        {"02f5" + std::string(106, '1'), "02f838" + std::string(106, '1') + "808080"},
        {"", "error: empty transaction"}, {"02", "error: empty input"}, {"02f8", "error: truncated length"},
        {"f8", "error: unsupported transaction type (expected 0x01 or 0x02)"},  // legacy list
        {"02c501", "error: truncated RLP payload"},
        {"02ffffffffffffffffffff", "error: truncated RLP payload"},  // near 2^64: must not wrap
    };
    for (const auto& [tx, expected] : cases) EXPECT_EQ(sign_zero(tx), expected) << tx;
}

// What a node re-encodes after decoding must be the bytes that were hashed.
TEST(RlpReader, TypedTransactionShapesItemLengthAndDeepNesting) {
    const std::pair<std::string, std::string> cases[] = {
        {"01c0", "<succeeded>"}, {"02c3c28180", "<succeeded>"},  // nested list
        {"02c28180", "<succeeded>"},  // a byte of 0x80 or above needs its string header
        {"02f838" + std::string(112, '1'), "<succeeded>"},
        {"", "empty transaction"}, {"f8", "unsupported transaction type (expected 0x01 or 0x02)"},
        {"02", "empty input"}, {"0205", "expected an RLP list after the type byte"},
        {"02c000", "trailing bytes after the RLP list"}, {"02c501", "truncated RLP payload"},
        {"02c2830102", "truncated RLP payload"},  // inner item overruns its list
        {"02f8", "truncated length"}, {"02c28105", "non-canonical single byte"},
        {"02f80101", "non-canonical length"},  // long header for a short list
        {"02f90038" + std::string(112, '1'), "non-canonical length"},  // a long length with a leading zero
    };
    for (const auto& [tx, text] : cases) EXPECT_EQ(error_of(rlp::check_unsigned_typed_tx(unhex(tx))), text) << tx;
    EXPECT_EQ(rlp::read_item(unhex("c0ff")).value(), 1u);
    EXPECT_EQ(rlp::read_item(unhex("8180")).value(), 2u);
    EXPECT_EQ(rlp::read_item({}).error(), "empty input");
    // 300,000 levels would overflow the stack of a recursive reader. Built inside out, reversed.
    Bytes nested{0xc0};
    for (int i = 0; i < 300000; ++i) {
        const Bytes header = rlp::encode_length(nested.size(), 0xc0);
        nested.insert(nested.end(), header.rbegin(), header.rend());
    }
    std::reverse(nested.begin(), nested.end());
    EXPECT_EQ(rlp::read_item(nested).value(), nested.size());
}

}  // namespace
