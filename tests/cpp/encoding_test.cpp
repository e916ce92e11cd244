#include "qel_signer/encoding.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <string_view>

#include "test_data.hpp"

namespace {

using namespace qel_signer;

Bytes unhex(std::string_view h) { return hex_decode(h).value(); }
Bytes ascii(std::string_view s) { return Bytes(s.begin(), s.end()); }

TEST(Hex, EncodesLowerAndDecodesEitherCase) {
    EXPECT_EQ(hex_encode(Bytes{0x00, 0xab, 0xCD, 0xff}), "00abcdff");
    EXPECT_EQ(hex_encode({}), "");
    EXPECT_EQ(hex_decode("00AbcDfF").value(), (Bytes{0x00, 0xab, 0xcd, 0xff}));
    EXPECT_TRUE(hex_decode("").value().empty());
}

TEST(Hex, RejectsWithExactTexts) {
    struct Case {
        std::string input;
        std::string message;
    };
    const Case cases[] = {
        {"abc", "Odd number of digits"},
        {"zzz", "Odd number of digits"},  // length is checked before content
        {"0g", "Invalid character 'g' at position 1"},
        {"0X12", "Invalid character 'X' at position 1"},
        {"12 4", "Invalid character ' ' at position 2"},
        {"zz0g", "Invalid character 'z' at position 0"},  // first offender wins
        {"\"0", "Invalid character '\"' at position 0"},
        {"'0", "Invalid character '\\'' at position 0"},
        {"\\0", "Invalid character '\\\\' at position 0"},
        {std::string("\0" "0", 2), "Invalid character '\\0' at position 0"},
        {"0\t", "Invalid character '\\t' at position 1"},
        {"\n0", "Invalid character '\\n' at position 0"},
        {"\r0", "Invalid character '\\r' at position 0"},
        {"\x01" "0", "Invalid character '\\u{1}' at position 0"},
        {"\x1b" "0", "Invalid character '\\u{1b}' at position 0"},
        {"\x7f" "0", "Invalid character '\\u{7f}' at position 0"},
        {"\x85" "0", "Invalid character '\\u{85}' at position 0"},
        {"\xa0" "0", "Invalid character '\\u{a0}' at position 0"},
        {"\xad" "0", "Invalid character '\\u{ad}' at position 0"},
        // Bytes, not UTF-8 characters: "é" is two bytes, the first read as Latin-1.
        {"\xc3\xa9", "Invalid character '\xc3\x83' at position 0"},
        {"0\xe9", "Invalid character '\xc3\xa9' at position 1"},
        {"0\xff", "Invalid character '\xc3\xbf' at position 1"},
    };
    for (const auto& c : cases) {
        const auto r = hex_decode(c.input);
        ASSERT_FALSE(r.has_value()) << c.message;
        EXPECT_EQ(r.error(), c.message);
    }
}

TEST(Base58, KnownValuesAndLeadingZeros) {
    EXPECT_EQ(base58_encode(ascii("Hello World!")), "2NEpo7TZRRrLZSi2U");
    EXPECT_EQ(base58_encode(Bytes{0, 0, 0x01}), "112");
    EXPECT_EQ(base58_encode(Bytes{0, 0}), "11");
    EXPECT_EQ(base58_encode({}), "");
    EXPECT_EQ(base58_decode("2NEpo7TZRRrLZSi2U").value(), ascii("Hello World!"));
    EXPECT_EQ(base58_decode("112").value(), (Bytes{0, 0, 1}));
    EXPECT_TRUE(base58_decode("").value().empty());
}

TEST(Base58, RoundTripsEveryLengthUpTo64) {
    for (std::size_t n = 0; n <= 64; ++n) {
        Bytes data(n);
        for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<std::uint8_t>(i < n / 3 ? 0 : 0xff - i * 7);
        EXPECT_EQ(base58_decode(base58_encode(data)).value(), data) << n;
        EXPECT_EQ(base64url_decode(base64url_encode(data)).value(), data) << n;
    }
}

TEST(Base58, Check) {
    // Version byte 0x00 and a HASH160: a pay-to-public-key-hash address.
    const Bytes payload = unhex("00010966776006953d5567439e5e39f86a0d273bee");
    EXPECT_EQ(base58check_encode(payload), "16UwLL9Risc3QfPqBUvKofHmBQ7wMtjvM");
    EXPECT_EQ(base58check_decode("16UwLL9Risc3QfPqBUvKofHmBQ7wMtjvM").value(), payload);
}

TEST(Base58, RejectsBadInput) {
    struct Case {
        std::string input;
        std::string message;
        bool check;
    };
    const Case cases[] = {
        {"10", "invalid base58 character at position 1", false},
        {"O", "invalid base58 character at position 0", false},
        {"1Il", "invalid base58 character at position 1", false},
        {"abc+", "invalid base58 character at position 3", false},
        {std::string("1\0", 2), "invalid base58 character at position 1", false},
        {"", "base58check data too short", true},
        {"111", "base58check data too short", true},
        {"16UwLL9Risc3QfPqBUvKofHmBQ7wMtjvN", "invalid base58check checksum", true},
        {"16UwLL9Risc3QfPqBUvKofHmBQ7wMtjv0", "invalid base58 character at position 32", true},
    };
    for (const auto& c : cases) {
        const auto r = c.check ? base58check_decode(c.input) : base58_decode(c.input);
        ASSERT_FALSE(r.has_value()) << c.input;
        EXPECT_EQ(r.error(), c.message);
    }
}

TEST(Base64, Rfc4648Vectors) {
    const std::pair<const char*, const char*> vectors[] = {
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [plain, coded] : vectors) {
        EXPECT_EQ(base64_encode(ascii(plain)), coded);
        std::string url(coded);
        url.erase(url.find_last_not_of('=') + 1);
        EXPECT_EQ(base64url_encode(ascii(plain)), url);
        EXPECT_EQ(base64url_decode(url).value(), ascii(plain));
    }
    EXPECT_EQ(base64_encode(Bytes{0xfb, 0xff}), "+/8=");
    EXPECT_EQ(base64url_encode(Bytes{0xfb, 0xff}), "-_8");
}

TEST(Base64, UrlDecodeRejectsBadInput) {
    const std::pair<const char*, const char*> cases[] = {
        {"A", "invalid base64url length"},
        {"Zm9vY", "invalid base64url length"},
        {"Zg==", "invalid base64url character at position 2"},
        {"+/8", "invalid base64url character at position 0"},
        {"Zh", "invalid base64url padding bits"},
        {"Zm9", "invalid base64url padding bits"},
    };
    for (const auto& [input, message] : cases) {
        const auto r = base64url_decode(input);
        ASSERT_FALSE(r.has_value()) << input;
        EXPECT_EQ(r.error(), message);
    }
}

TEST(ConvertBits, RegroupsAndRejects) {
    EXPECT_EQ(convert_bits(Bytes{0xff}, 8, 5, true).value(), (Bytes{31, 28}));
    EXPECT_EQ(convert_bits(Bytes{31, 28}, 5, 8, false).value(), (Bytes{0xff}));
    const struct {
        Bytes data;
        unsigned from, to;
        bool pad;
        const char* message;
    } cases[] = {
        {Bytes{32}, 5, 8, false, "invalid data value"},
        {Bytes{31, 29}, 5, 8, false, "invalid padding"},      // non-zero leftover bits
        {Bytes{31, 28, 0}, 5, 8, false, "invalid padding"},   // a whole spare group
        {Bytes{1}, 0, 8, true, "invalid bit group size"},
        {Bytes{1}, 8, 9, true, "invalid bit group size"},
    };
    for (const auto& c : cases) {
        const auto r = convert_bits(c.data, c.from, c.to, c.pad);
        ASSERT_FALSE(r.has_value()) << c.message;
        EXPECT_EQ(r.error(), c.message);
    }
}

TEST(Bech32, PublishedValidStringsDecodeAndReencode) {
    const auto data = qel_test::load_vectors("bech32.json");
    for (const auto& v : data["valid_bech32_strings"]) {
        const auto text = v["string"].get<std::string>();
        const auto dec = bech32_decode(text, 90);
        ASSERT_TRUE(dec.has_value()) << text << ": " << dec.error();
        std::string lower = text;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        EXPECT_EQ(dec->hrp, v["hrp"].get<std::string>());
        EXPECT_EQ(bech32_encode(dec->hrp, dec->data5).value(), lower);
    }
}

TEST(Bech32, PublishedInvalidStringsFail) {
    const auto data = qel_test::load_vectors("bech32.json");
    for (const auto& v : data["invalid_bech32_strings"]) {
        const Bytes raw = unhex(v["string_hex"].get<std::string>());
        const std::string text(raw.begin(), raw.end());
        EXPECT_FALSE(bech32_decode(text, 90).has_value()) << v["reason"].get<std::string>();
    }
    // Past 90 characters only the tighter limit refuses; 1023 is the hard cap.
    const std::string long_text =
        "an84characterslonghumanreadablepartthatcontainsthenumber1andtheexcludedcharactersbio1569pvx";
    EXPECT_EQ(bech32_decode(long_text, 90).error(), "bech32 string too long");
    EXPECT_EQ(bech32_decode(std::string(1024, 'q')).error(), "bech32 string too long");
}

TEST(Bech32, DecodeErrorTexts) {
    const std::pair<std::string, const char*> cases[] = {
        {"pzry9x0s0muk", "missing separator"},
        {"1pzry9x0s0muk", "empty human-readable part"},
        {"x1b4n0q5v", "invalid data character"},
        {"li1dgmt3", "checksum too short"},
        {"A1G7SGD8", "invalid checksum"},
        {"a12UEL5L", "mixed case"},
        {"a 12uel5l", "invalid character"},
        {std::string(84, 'a') + "1qqqqqq", "human-readable part too long"},
    };
    for (const auto& [text, message] : cases) {
        const auto r = bech32_decode(text);
        ASSERT_FALSE(r.has_value()) << text;
        EXPECT_EQ(r.error(), message);
    }
}

TEST(Bech32, EncodeAndHrpErrors) {
    const std::pair<std::string, const char*> hrps[] = {
        {"", "empty human-readable part"},
        {std::string(84, 'a'), "human-readable part too long"},
        {"co smos", "invalid character in human-readable part"},
        {"cos\x7fmos", "invalid character in human-readable part"},
        {"Cosmos", "mixed case in human-readable part"},
    };
    for (const auto& [hrp, message] : hrps) {
        EXPECT_EQ(bech32_validate_hrp(hrp).error(), message);
        EXPECT_EQ(bech32_encode(hrp, Bytes{0}).error(), message);
    }
    EXPECT_TRUE(bech32_validate_hrp(std::string(83, 'a')).has_value());
    EXPECT_EQ(bech32_encode("COSMOS", Bytes{}).value().substr(0, 7), "cosmos1");
    EXPECT_EQ(bech32_encode("a", Bytes{32}).error(), "invalid data value");
    // 83 + 1 + 933 + 6 = 1023 fits; one more value does not.
    EXPECT_EQ(bech32_encode(std::string(83, 'a'), Bytes(933, 0)).value().size(), 1023u);
    EXPECT_EQ(bech32_encode(std::string(83, 'a'), Bytes(934, 0)).error(), "bech32 string too long");
}

TEST(Segwit, PublishedAddresses) {
    const auto data = qel_test::load_vectors("bech32.json");
    for (const auto& v : data["valid_segwit_addresses"]) {
        const auto addr = v["address"].get<std::string>();
        const std::string hrp = addr.substr(0, 2);
        const auto dec = segwit_decode(hrp, addr);
        ASSERT_TRUE(dec.has_value()) << addr << ": " << dec.error();
        Bytes script{static_cast<std::uint8_t>(dec->version == 0 ? 0 : 0x50 + dec->version),
                     static_cast<std::uint8_t>(dec->program.size())};
        script.insert(script.end(), dec->program.begin(), dec->program.end());
        EXPECT_EQ(hex_encode(script), v["script_pubkey_hex"].get<std::string>());
        if (dec->version == 0) {
            std::string lower = addr;
            for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            EXPECT_EQ(segwit_v0_encode(std::string(hrp == "BC" ? "bc" : hrp), dec->program).value(), lower);
        }
    }
    for (const auto& v : data["invalid_segwit_addresses"]) {
        const auto addr = v["address"].get<std::string>();
        const bool testnet = addr.starts_with("tb1") || addr.starts_with("TB1");
        EXPECT_FALSE(segwit_decode(testnet ? "tb" : "bc", addr).has_value()) << v["reason"].get<std::string>();
    }
    for (const auto& a : data["bip84"]["addresses"]) {
        EXPECT_EQ(segwit_v0_encode("bc", unhex(a["hash160_hex"].get<std::string>())).value(),
                  a["address"].get<std::string>());
    }
    EXPECT_EQ(segwit_v0_encode("bc", Bytes(21, 0)).error(), "invalid witness program length");
}

// Arbitrary bytes, including NUL and high bytes, must only ever be refused;
// run under the sanitizer build this also catches reads past the input.
TEST(Decoders, SurviveArbitraryInput) {
    std::uint32_t state = 12345;
    const std::string pool = "qpzry9x8gf2tvdw0s3jn54khce6mua7l1BC0xX=+-_/ \\\xff";
    for (int round = 0; round < 3000; ++round) {
        std::string text(static_cast<std::size_t>(round % 97), '\0');
        for (char& c : text) {
            state = state * 1103515245u + 12345u;
            c = (state >> 28) < 12 ? pool[(state >> 16) % pool.size()] : static_cast<char>(state >> 16);
        }
        (void)hex_decode(text);
        (void)base58_decode(text);
        (void)base58check_decode(text);
        (void)base64url_decode(text);
        (void)bech32_decode(text);
        (void)segwit_decode("bc", text);
        const Bytes raw(text.begin(), text.end());
        (void)convert_bits(raw, 5, 8, false);
    }
}

TEST(Crc16Xmodem, CheckValue) {
    EXPECT_EQ(crc16_xmodem(ascii("123456789")), 0x31C3);
    EXPECT_EQ(crc16_xmodem({}), 0);
}

}  // namespace
