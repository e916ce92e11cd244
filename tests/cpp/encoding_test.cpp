#include "qel_signer/encoding.hpp"

#include "support.hpp"

namespace {

using namespace qel_signer;
using qel_test::error_of;
using qel_test::mapped;
using qel_test::to_bytes;
using qel_test::unhex;

// Refused: the offending byte is shown escaped, and bytes above 0x7f as that Latin-1
// character. (Either case in, lower case out, is the encoding fuzz target's invariant.)
TEST(Hex, ExactRefusals) {
    const auto at = [](const std::string& shown, int pos) {
        return "Invalid character '" + shown + "' at position " + std::to_string(pos);
    };
    const std::pair<std::string, std::string> cases[] = {
        {"zzz", "Odd number of digits"},  // length is checked before content
        {"0g", at("g", 1)}, {"12 4", at(" ", 2)}, {"zz0g", at("z", 0)},     // the first offender wins
        {"\"0", at("\"", 0)}, {"'0", at("\\'", 0)}, {"\\0", at("\\\\", 0)}, {std::string("\0" "0", 2), at("\\0", 0)},
        {"0\t", at("\\t", 1)}, {"\n0", at("\\n", 0)}, {"\r0", at("\\r", 0)}, {"\x01" "0", at("\\u{1}", 0)},
        {"\x7f" "0", at("\\u{7f}", 0)}, {"\x85" "0", at("\\u{85}", 0)}, {"\xa0" "0", at("\\u{a0}", 0)},
        {"\xad" "0", at("\\u{ad}", 0)}, {"\xc3\xa9", at("\xc3\x83", 0)}, {"0\xff", at("\xc3\xbf", 1)},
    };
    for (const auto& [input, message] : cases) EXPECT_EQ(error_of(hex_decode(input)), message);
}

TEST(Base58, KnownValuesCheckAndBadInput) {
    const std::pair<Bytes, std::string> known[] = {
        {to_bytes("Hello World!"), "2NEpo7TZRRrLZSi2U"}, {{0, 0, 1}, "112"}, {{0, 0}, "11"}, {{}, ""}};
    for (const auto& [data, text] : known) EXPECT_EQ(base58_encode(data), text);
    // The checked form's known values are the published Tron addresses.
    const std::tuple<std::string, std::string, bool> bad[] = {  // input, error, checked form
        {"10", "invalid base58 character at position 1", false},
        {"111", "base58check data too short", true},
        {"16UwLL9Risc3QfPqBUvKofHmBQ7wMtjvN", "invalid base58check checksum", true},
        {"16UwLL9Risc3QfPqBUvKofHmBQ7wMtjv0", "invalid base58 character at position 32", true},
    };
    for (const auto& [input, message, check] : bad) {
        EXPECT_EQ(check ? error_of(base58check_decode(input)) : error_of(base58_decode(input)), message) << input;
    }
}

TEST(Base64, Rfc4648VectorsAndUrlDecodeErrors) {
    const std::pair<const char*, std::string> vectors[] = {
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"}, {"\xfb\xff", "+/8="}};
    for (const auto& [plain, coded] : vectors) {
        EXPECT_EQ(base64_encode(to_bytes(plain)), coded);
        std::string url = coded.substr(0, coded.find('='));
        for (char& c : url) c = c == '+' ? '-' : c == '/' ? '_' : c;
        EXPECT_EQ(base64url_encode(to_bytes(plain)), url);
        EXPECT_EQ(base64_decode(coded).value(), to_bytes(plain));
    }
    const std::pair<const char*, const char*> cases[] = {
        {"A", "invalid base64url length"}, {"Zm9vY", "invalid base64url length"},
        {"Zg==", "invalid base64url character at position 2"}, {"+/8", "invalid base64url character at position 0"},
        {"Zh", "invalid base64url padding bits"}, {"Zm9", "invalid base64url padding bits"},
    };
    for (const auto& [input, message] : cases) EXPECT_EQ(error_of(base64url_decode(input)), message);
    const std::pair<const char*, const char*> padded[] = {
        {"Zg=", "invalid base64 length"}, {"Z===", "invalid base64 character at position 1"},
        {"Zh==", "invalid base64 padding bits"}, {"-_8=", "invalid base64 character at position 0"},
    };
    for (const auto& [input, message] : padded) EXPECT_EQ(error_of(base64_decode(input)), message);
}

TEST(ConvertBits, RegroupsAndRejects) {
    EXPECT_EQ(convert_bits(Bytes{0xff}, 8, 5, true).value(), (Bytes{31, 28}));
    EXPECT_EQ(convert_bits(Bytes{31, 28}, 5, 8, false).value(), (Bytes{0xff}));
    const std::tuple<Bytes, unsigned, unsigned, bool, std::string> cases[] = {
        {Bytes{32}, 5, 8, false, "invalid data value"},
        {Bytes{31, 29}, 5, 8, false, "invalid padding"},     // non-zero leftover bits
        {Bytes{31, 28, 0}, 5, 8, false, "invalid padding"},  // a whole spare group
        {Bytes{1}, 0, 8, true, "invalid bit group size"}, {Bytes{1}, 8, 9, true, "invalid bit group size"},
    };
    for (const auto& [data, from, to, pad, text] : cases) EXPECT_EQ(error_of(convert_bits(data, from, to, pad)), text);
}

TEST(Bech32, PublishedStringsAndSegwitAddresses) {
    const auto data = qel_test::load_vectors("bech32.json");
    for (const auto& v : data["valid_bech32_strings"]) {
        const auto text = v["string"].get<std::string>();
        const auto dec = bech32_decode(text, 90);
        ASSERT_TRUE(dec.has_value()) << text << ": " << dec.error();
        EXPECT_EQ(dec->hrp, v["hrp"].get<std::string>());
        EXPECT_EQ(bech32_encode(dec->hrp, dec->data5).value(), mapped(text, ::tolower));
    }
    for (const auto& v : data["invalid_bech32_strings"]) {
        const Bytes raw = unhex(v["string_hex"]);
        EXPECT_FALSE(bech32_decode(std::string(raw.begin(), raw.end()), 90).has_value()) << v["reason"];
    }
    for (const auto& v : data["valid_segwit_addresses"]) {
        const auto addr = v["address"].get<std::string>();
        const std::string hrp = addr.substr(0, 2);
        const auto dec = segwit_decode(hrp, addr);
        ASSERT_TRUE(dec.has_value()) << addr << ": " << dec.error();
        Bytes script{static_cast<std::uint8_t>(dec->version == 0 ? 0 : 0x50 + dec->version),
                     static_cast<std::uint8_t>(dec->program.size())};
        script.insert(script.end(), dec->program.begin(), dec->program.end());
        EXPECT_EQ(hex_encode(script), v["script_pubkey_hex"].get<std::string>());
    }
    for (const auto& v : data["invalid_segwit_addresses"]) {
        const auto addr = v["address"].get<std::string>();
        EXPECT_FALSE(segwit_decode(mapped(addr, ::tolower).starts_with("tb1") ? "tb" : "bc", addr).has_value())
            << v["reason"];
    }
    EXPECT_EQ(error_of(segwit_v0_encode("bc", Bytes(21, 0))), "invalid witness program length");
}

TEST(Bech32, ErrorTexts) {
    const std::pair<std::string, const char*> cases[] = {
        {"pzry9x0s0muk", "missing separator"}, {"1pzry9x0s0muk", "empty human-readable part"},
        {"x1b4n0q5v", "invalid data character"}, {"li1dgmt3", "checksum too short"},
        {"A1G7SGD8", "invalid checksum"}, {"a12UEL5L", "mixed case"}, {"a 12uel5l", "invalid character"},
        {std::string(84, 'a') + "1qqqqqq", "human-readable part too long"},
        {std::string(1024, 'q'), "bech32 string too long"},  // the hard cap
    };
    for (const auto& [text, message] : cases) EXPECT_EQ(error_of(bech32_decode(text)), message);
    // Past 90 characters only the tighter limit refuses.
    EXPECT_EQ(error_of(bech32_decode(
                  "an84characterslonghumanreadablepartthatcontainsthenumber1andtheexcludedcharactersbio1569pvx", 90)),
              "bech32 string too long");
    const std::pair<std::string, const char*> hrps[] = {
        {"", "empty human-readable part"}, {std::string(84, 'a'), "human-readable part too long"},
        {"cos\x7fmos", "invalid character in human-readable part"}, {"Cosmos", "mixed case in human-readable part"},
    };
    for (const auto& [hrp, message] : hrps) {
        EXPECT_EQ(error_of(bech32_validate_hrp(hrp)), message);
        EXPECT_EQ(error_of(bech32_encode(hrp, Bytes{0})), message);
    }
    EXPECT_EQ(bech32_encode("COSMOS", Bytes{}).value().substr(0, 7), "cosmos1");
    EXPECT_EQ(error_of(bech32_encode("a", Bytes{32})), "invalid data value");
    // 83 + 1 + 933 + 6 = 1023 fits; one more value does not.
    EXPECT_EQ(bech32_encode(std::string(83, 'a'), Bytes(933, 0)).value().size(), 1023u);
    EXPECT_EQ(error_of(bech32_encode(std::string(83, 'a'), Bytes(934, 0))), "bech32 string too long");
}

}  // namespace
