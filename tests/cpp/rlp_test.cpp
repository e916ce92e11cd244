#include "qel_signer/rlp.hpp"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "qel_signer/encoding.hpp"
#include "test_data.hpp"

namespace {

using qel_signer::Bytes;
using qel_signer::hex_encode;
namespace rlp = qel_signer::rlp;

Bytes unhex(std::string_view h) { return qel_signer::hex_decode(h).value(); }
std::array<std::uint8_t, 32> word(std::string_view h) {
    const Bytes b = unhex(h);
    std::array<std::uint8_t, 32> out{};
    std::copy(b.begin(), b.end(), out.begin());
    return out;
}
const std::array<std::uint8_t, 32> kZero{};

TEST(Rlp, LengthAndByteStringHeaders) {
    EXPECT_EQ(rlp::encode_length(0, 0x80), (Bytes{0x80}));
    EXPECT_EQ(rlp::encode_length(55, 0xc0), (Bytes{0xf7}));
    EXPECT_EQ(rlp::encode_length(56, 0xc0), (Bytes{0xf8, 56}));
    EXPECT_EQ(rlp::encode_length(255, 0xc0), (Bytes{0xf8, 0xff}));
    EXPECT_EQ(rlp::encode_length(256, 0xc0), (Bytes{0xf9, 0x01, 0x00}));
    EXPECT_EQ(rlp::encode_length(0x0102030405060708ULL, 0x80), (Bytes{0xbf, 1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(rlp::encode_bytes({}), (Bytes{0x80}));
    EXPECT_EQ(rlp::encode_bytes(Bytes{0x00}), (Bytes{0x00}));
    EXPECT_EQ(rlp::encode_bytes(Bytes{0x7f}), (Bytes{0x7f}));
    EXPECT_EQ(rlp::encode_bytes(Bytes{0x80}), (Bytes{0x81, 0x80}));
    const Bytes long_string(56, 0xaa);
    const Bytes enc = rlp::encode_bytes(long_string);
    EXPECT_EQ(hex_encode(Bytes(enc.begin(), enc.begin() + 2)), "b838");
    EXPECT_EQ(enc.size(), 58u);
}

TEST(Rlp, PublishedEip1559Transactions) {
    const auto data = qel_test::load_vectors("eip1559.json");
    for (const auto& v : data["vectors"]) {
        const auto out = rlp::encode_signed_typed_tx(unhex(v["unsigned_hex"].get<std::string>()),
                                                     static_cast<std::uint8_t>(v["y_parity"].get<int>()),
                                                     word(v["r_hex"].get<std::string>()),
                                                     word(v["s_hex"].get<std::string>()));
        ASSERT_TRUE(out.has_value()) << out.error();
        EXPECT_EQ(hex_encode(*out), v["signed_hex"].get<std::string>()) << v["name"].get<std::string>();
    }
}

TEST(Rlp, SignatureFieldsAreMinimal) {
    auto s = word("80");  // 0x80 then 31 zero bytes
    const auto r = word("00000000000000000000000000000000000000000000000000000000000000" "05");
    const auto out = rlp::encode_signed_typed_tx(unhex("02c3010203"), 1, r, s);
    EXPECT_EQ(hex_encode(*out), "02e6010203" "01" "05" "a0" + hex_encode(s));

    const struct {
        std::uint8_t v;
        const char* encoded;
    } vs[] = {{0, "80"}, {1, "01"}, {27, "1b"}, {0x7f, "7f"}, {0x80, "8180"}, {0xff, "81ff"}};
    for (const auto& c : vs) {
        const auto tx = rlp::encode_signed_typed_tx(unhex("01c0"), c.v, kZero, kZero);
        // All-zero r and s shrink to the empty string 0x80.
        EXPECT_EQ(hex_encode(*tx), std::string("01") + (c.v >= 0x80 ? "c4" : "c3") + c.encoded + "8080");
    }
}

TEST(Rlp, HeaderFormsAndTrailingBytes) {
    // Long list header with a non-minimal length, a single-byte item and a
    // short string as the "list" are all taken as given.
    EXPECT_EQ(hex_encode(*rlp::encode_signed_typed_tx(unhex("02f80201029999"), 0, kZero, kZero)), "02c501028080" "80");
    EXPECT_EQ(hex_encode(*rlp::encode_signed_typed_tx(unhex("0205"), 0, kZero, kZero)), "02c405808080");
    EXPECT_EQ(hex_encode(*rlp::encode_signed_typed_tx(unhex("02820102"), 0, kZero, kZero)), "02c50102808080");
    // A payload that pushes the new list past 55 bytes gets a long header.
    Bytes tx(2 + 53, 0x01);
    tx[0] = 0x02;
    tx[1] = 0xc0 + 53;
    const auto out = rlp::encode_signed_typed_tx(tx, 1, kZero, kZero);
    EXPECT_EQ(hex_encode(Bytes(out->begin(), out->begin() + 3)), "02f838");
    EXPECT_EQ(out->size(), 3u + 56u);
}

TEST(Rlp, RejectsMalformedTransactionsInOrder) {
    const std::pair<const char*, std::string_view> cases[] = {
        {"", "empty transaction"},
        {"00c0", "unsupported transaction type (expected 0x01 or 0x02)"},
        {"03c0", "unsupported transaction type (expected 0x01 or 0x02)"},
        {"f8", "unsupported transaction type (expected 0x01 or 0x02)"},  // legacy list
        {"02", "empty input"},
        {"01", "empty input"},
        {"02f8", "truncated length"},
        {"02b8", "truncated length"},
        {"02ff01020304050607", "truncated length"},
        {"02c501", "truncated RLP payload"},
        {"02f803c0c0", "truncated RLP payload"},
        {"0281", "truncated RLP payload"},
        // Declared lengths near 2^64 must not wrap around the bounds check.
        {"02ffffffffffffffffffff", "truncated RLP payload"},
        {"02fffffffffffffffffe00", "truncated RLP payload"},
    };
    for (const auto& [hex, text] : cases) {
        const auto out = rlp::encode_signed_typed_tx(unhex(hex), 1, kZero, kZero);
        ASSERT_FALSE(out.has_value()) << hex;
        EXPECT_EQ(out.error(), text) << hex;
    }
}

TEST(Rlp, ArbitraryShortInputIsBoundsChecked) {
    // Every 1-3 byte body after a valid type byte: either fails or copies
    // no more than it was given.
    for (unsigned a = 0; a < 256; ++a) {
        for (unsigned b = 0; b < 256; b += 17) {
            const Bytes tx{0x02, static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b)};
            const auto out = rlp::encode_signed_typed_tx(tx, 1, kZero, kZero);
            if (out) {
                EXPECT_LE(out->size(), tx.size() + 1 + 4 + 2);
            }
        }
    }
}

// What a node re-encodes after decoding must be the bytes that were hashed:
// only one canonical list after the type byte passes.
TEST(RlpReader, TypedTransactionShapes) {
    const std::pair<const char*, std::string_view> cases[] = {
        {"02c0", ""},
        {"01c3010203", ""},
        {"02c28180", ""},          // a byte of 0x80 or above needs its string header
        {"02c3c28180", ""},        // nested list
        {"", "empty transaction"},
        {"f8", "unsupported transaction type (expected 0x01 or 0x02)"},
        {"02", "empty input"},
        {"0205", "expected an RLP list after the type byte"},
        {"02820102", "expected an RLP list after the type byte"},
        {"02c000", "trailing bytes after the RLP list"},
        {"02c501", "truncated RLP payload"},
        {"02c2830102", "truncated RLP payload"},  // inner item overruns its list
        {"02f8", "truncated length"},
        {"02f80101", "non-canonical length"},      // long header for a short list
        {"02c3b80101", "non-canonical length"},    // same, nested string
        {"02c28105", "non-canonical single byte"},
        {"02c3c28105", "non-canonical single byte"},
    };
    for (const auto& [hex, text] : cases) {
        const auto checked = rlp::check_unsigned_typed_tx(unhex(hex));
        if (text.empty()) {
            EXPECT_TRUE(checked.has_value()) << hex << ": " << checked.error();
        } else {
            ASSERT_FALSE(checked.has_value()) << hex;
            EXPECT_EQ(checked.error(), text) << hex;
        }
    }
    // A long length with a leading zero byte.
    Bytes padded{0x02, 0xf9, 0x00, 56};
    padded.resize(padded.size() + 56, 0x01);
    EXPECT_EQ(rlp::check_unsigned_typed_tx(padded).error(), "non-canonical length");
    padded.erase(padded.begin() + 2);
    padded[1] = 0xf8;
    EXPECT_TRUE(rlp::check_unsigned_typed_tx(padded).has_value());

    const auto data = qel_test::load_vectors("eip1559.json");
    for (const auto& v : data["vectors"]) {
        EXPECT_TRUE(rlp::check_unsigned_typed_tx(unhex(v["unsigned_hex"].get<std::string>())).has_value());
    }
}

TEST(RlpReader, ItemLengthAndDeepNesting) {
    EXPECT_EQ(rlp::read_item(unhex("c0ff")).value(), 1u);
    EXPECT_EQ(rlp::read_item(unhex("8180")).value(), 2u);
    EXPECT_EQ(rlp::read_item({}).error(), "empty input");
    // Nesting is bounded by the input, not by the call stack.
    std::vector<Bytes> headers;  // innermost first
    std::size_t length = 1;      // the innermost empty list
    for (int i = 0; i < 1000000; ++i) {
        headers.push_back(rlp::encode_length(length, 0xc0));
        length += headers.back().size();
    }
    Bytes nested;
    nested.reserve(length);
    for (auto h = headers.rbegin(); h != headers.rend(); ++h) nested.insert(nested.end(), h->begin(), h->end());
    nested.push_back(0xc0);
    EXPECT_EQ(rlp::read_item(nested).value(), nested.size());
}

}  // namespace
