#include "qel_core/json.hpp"

#include <cstring>

#include "support.hpp"

namespace {

using qel_core::JsonParser;

std::string compact(const nlohmann::json& v) {
    return v.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
}

// Expected values written with Python's json.dumps(json.loads(text),
// separators=(",", ":"), sort_keys=True, ensure_ascii=False).
TEST(JsonParser, ReadsValidDocuments) {
    const std::pair<std::string, std::string> cases[] = {
        {R"({"b":[1,-2,3.5,1e2,-0,18446744073709551615,-9223372036854775808],"a":null})",
         R"({"a":null,"b":[1,-2,3.5,100.0,0,18446744073709551615,-9223372036854775808]})"},
        {R"([true,false,null,"",{}, [] ,"\u00e9\ud83d\ude00\n\t\"\\\/\b\f\r\u0000"])",
         "[true,false,null,\"\",{},[],\"\xc3\xa9\xf0\x9f\x98\x80\\n\\t\\\"\\\\/\\b\\f\\r\\u0000\"]"},
        {" \t\r\n{\"k\" : \"v\" } \n", R"({"k":"v"})"},
        {"\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\x7f\"", "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\x7f\""},
        {"1e-400", "0.0"},
        // Integers beyond 64 bits become floating point (json.loads with parse_int=float).
        {R"([18446744073709551616,-9223372036854775809,{"m":1234567890123456789012345678901234567890},"1e2"])",
         R"([1.8446744073709552e+19,-9.223372036854776e+18,{"m":1.2345678901234568e+39},"1e2"])"},
        // The same name in different objects is no repetition.
        {R"({"a":{"a":1},"b":[{"a":2},{"a":3}]})", R"({"a":{"a":1},"b":[{"a":2},{"a":3}]})"},
    };
    JsonParser parser(qel_core::kMaxJsonDepth);
    for (const auto& [text, value] : cases) {
        auto root = parser.parse(text);
        ASSERT_TRUE(root.has_value()) << text << ": " << root.error();
        EXPECT_EQ(compact(qel_core::to_generic(*root)), value) << text;
    }
}

TEST(JsonParser, RefusesWithTheProblemAndItsPlace) {
    const std::pair<std::string, std::string> cases[] = {
        {R"({"x":{"b":1,"c":2,"b":3}})", "duplicate field `b`"},
        {R"([{"ok":1},{"k":[],"k":{}}])", "duplicate field `k`"},
        {R"({"a":1,"\u0061":2})", "duplicate field `a`"},
        {R"({"m0":0,"m1":1,"m2":2,"m3":3,"m4":4,"m5":5,"m6":6,"m7":7,"m8":8,"m9":9,"mA":0,"mB":0,"mC":0,"mD":0,)"
         R"("mE":0,"mF":0,"m5":0})",
         "duplicate field `m5`"},
        {"", "unexpected end of input at line 1 column 1"},
        {"{\"id\":", "unexpected end of input at line 1 column 7"},
        {"[1,]", "invalid value at line 1 column 4"},
        {"{} x", "trailing characters after the JSON value at line 1 column 4"},
        {"{\n\"a\" 1}", "expected ':' at line 2 column 5"},
        {"{'a':1}", "expected a member name at line 1 column 2"},
        {"[01]", "expected ',' or ']' at line 1 column 3"},
        {"[1.]", "invalid number at line 1 column 4"},
        {"[-]", "invalid value at line 1 column 3"},
        {"1e999", "number out of range at line 1 column 6"},
        {"nul", "invalid literal at line 1 column 1"},
        {"\"a\x01\"", "control character in string at line 1 column 3"},
        {"\"\xff\"", "invalid UTF-8 in string at line 1 column 2"},
        {"\"\xed\xa0\x80\"", "invalid UTF-8 in string at line 1 column 2"},
        {"\"\\x\"", "invalid escape in string at line 1 column 3"},
        {"\"\\ud800\"", "high surrogate not followed by a low one at line 1 column 8"},
        {"\"\\udc00\"", "lone low surrogate in \\u escape at line 1 column 8"},
        {"\"\\u12\"", "truncated \\u escape at line 1 column 4"},
        {"\"\\u12g4\"", "invalid \\u escape at line 1 column 4"},
        {"\"abc", "unterminated string at line 1 column 5"},
        {R"({"a":["x",true,null,1] "c"})", "expected ',' or '}' at line 1 column 24"},
        {"[18446744073709551616,]", "invalid value at line 1 column 23"},
        {"\xef\xbb\xbf{}", "invalid value at line 1 column 1"},
    };
    JsonParser parser(qel_core::kMaxJsonDepth);
    for (const auto& [text, error] : cases) EXPECT_EQ(qel_test::error_of(parser.parse(text)), error) << text;
}

TEST(JsonParser, BoundsNestingExactly) {
    const auto arrays = [](std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); };
    const auto objects = [](std::size_t depth) {
        std::string text;
        for (std::size_t i = 0; i < depth; ++i) text += R"({"a":)";
        return text + "1" + std::string(depth, '}');
    };
    for (const std::size_t limit : {std::size_t{128}, qel_core::kMaxJsonDepth}) {
        JsonParser parser(limit);
        const std::string too_deep = "nesting deeper than " + std::to_string(limit) + " levels";
        for (const auto& make : {+arrays, +objects}) {
            EXPECT_TRUE(parser.parse(make(limit)).has_value()) << make(limit);
            for (const std::size_t depth : {limit + 1, limit + 2, std::size_t{100'000}}) {
                EXPECT_EQ(qel_test::error_of(parser.parse(make(depth))), too_deep) << depth;
            }
        }
    }
}

// One parser reads texts of any size in turn, its buffers grown as needed.
TEST(JsonParser, ReadsTextsOfAnySizeInTurn) {
    JsonParser parser(qel_core::kMaxJsonDepth);
    qel_core::PaddedText text;
    for (const std::size_t size : {10, 100'000, 3, 1'000'000, 50}) {
        text.assign("[\"" + std::string(size, 'x') + "\"]");
        auto root = parser.parse(text);
        ASSERT_TRUE(root.has_value()) << root.error();
        EXPECT_EQ(root->at(0).get_string().value_unsafe().size(), size);
    }
}

// For secret texts: errors say nothing of the text, and every copy of it that
// the parser made is wiped with the function it was given.
std::string g_wiped;
void record_and_wipe(void* data, std::size_t len) noexcept {
    g_wiped.append(static_cast<const char*>(data), len);
    std::memset(data, 0, len);
}

TEST(JsonParser, SecretTextsAreNeitherQuotedNorLeftBehind) {
    const std::string secret = "c0ffee00c0ffee00c0ffee00c0ffee00";
    for (const std::string& bad : {"{\"k\":\"" + secret + "\" x}", "{\"" + secret + "\":1,\"" + secret + "\":2}"}) {
        JsonParser parser(qel_core::kMaxJsonDepth, record_and_wipe);
        auto r = parser.parse(bad);
        ASSERT_FALSE(r.has_value());
        EXPECT_TRUE(r.error() == "not valid JSON" || r.error() == "duplicate field") << r.error();
    }
    g_wiped.clear();
    {
        JsonParser parser(qel_core::kMaxJsonDepth, record_and_wipe);
        auto root = parser.parse("{\"k\":\"" + secret + "\",\"n\":18446744073709551616}");
        ASSERT_TRUE(root.has_value());
        EXPECT_EQ(root->at_key("k").get_string().value_unsafe(), secret);
    }
    // The padded copy of the text, the copy with the integer made floating
    // point, and the unescaped string.
    std::size_t copies = 0;
    for (auto at = g_wiped.find(secret); at != std::string::npos; at = g_wiped.find(secret, at + 1)) ++copies;
    EXPECT_EQ(copies, 3u);
}

TEST(ParseJsonExact, KeepsTheTextOfNumbersNoInt64Holds) {
    const std::string big = "115792089237316195423570985008687907853269984665640564039457584007913129639935";
    auto r = qel_core::parse_json_exact("[18446744073709551615, -9223372036854775808, " + big + ", 1.50, -2e3]",
                                        qel_core::kMaxJsonDepth);
    ASSERT_TRUE(r.has_value()) << r.error();
    EXPECT_EQ((*r)[0].get<std::uint64_t>(), 18446744073709551615u);
    EXPECT_EQ((*r)[1].get<std::int64_t>(), INT64_MIN);
    const std::string kept[] = {big, "1.50", "-2e3"};
    for (std::size_t i = 0; i < 3; ++i) {
        const nlohmann::json& v = (*r)[2 + i];
        ASSERT_TRUE(v.is_binary());
        EXPECT_EQ(v.get_binary().subtype(), qel_core::kNumberTextSubtype);
        EXPECT_EQ(std::string(v.get_binary().begin(), v.get_binary().end()), kept[i]);
    }
}

TEST(ParseJsonExact, FollowsTheParsersRules) {
    JsonParser parser(qel_core::kMaxJsonDepth);
    const std::string deep = std::string(257, '[') + std::string(257, ']');
    for (const std::string& text : {std::string(R"({"x":[{"a":1,"a":2}]})"), deep, std::string("[1,]"),
                                    std::string("\"\xff\"")}) {
        EXPECT_EQ(qel_core::parse_json_exact(text, qel_core::kMaxJsonDepth).error(), parser.parse(text).error()) << text;
    }
    EXPECT_EQ(compact(qel_core::parse_json_exact(R"({"a":{"a":[1,{"b":null}]},"b":"\u00e9"})", 4).value()),
              "{\"a\":{\"a\":[1,{\"b\":null}]},\"b\":\"\xc3\xa9\"}");
    EXPECT_EQ(qel_core::parse_json_exact("[[[[[]]]]]", 4).error(), "nesting deeper than 4 levels");
}

}  // namespace
