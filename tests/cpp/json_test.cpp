#include "qel_core/json.hpp"

#include <cstring>

#include "support.hpp"

namespace {

using qel_core::JsonParser;

// The value read, as Python's json.dumps(json.loads(text), separators=(",", ":"),
// sort_keys=True, ensure_ascii=False) writes it, or the problem.
TEST(JsonParser, ReadsValidDocumentsAndRefusesWithTheProblem) {
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
        {R"({"x":{"b":1,"c":2,"b":3}})", "duplicate field `b`"},
        {R"([{"ok":1},{"k":[],"k":{}}])", "duplicate field `k`"},
        {R"({"a":1,"\u0061":2})", "duplicate field `a`"},
        {R"({"m0":0,"m1":1,"m2":2,"m3":3,"m4":4,"m5":5,"m6":6,"m7":7,"m8":8,"m9":9,"mA":0,"mB":0,"mC":0,"mD":0,)"
         R"("mE":0,"mF":0,"m5":0})",
         "duplicate field `m5`"},
        // Syntax errors in the parser's own words, one row for each.
        {"", "Empty: no JSON found"},
        {"{\"id\":", "The JSON document has an improper structure: missing or superfluous commas, braces, missing keys, etc."},
        {"[1.]", "Problem while parsing a number"},
        {"nul", "Problem while parsing an atom starting with the letter 'n'"},
        {"\"a\x01\"", "Within strings, some characters must be escaped, we found unescaped characters"},
        {"\"\xff\"", "The input is not valid UTF-8"},
        {"\"\\ud800\"", "Problem while parsing a string"},
        {"\"abc", "A string is opened, but never closed."},
        // The integer beyond 64 bits is read; the error after it is still found.
        {"[18446744073709551616,]", "The JSON document has an improper structure: missing or superfluous commas, braces, missing keys, etc."},
        // A quoted name is escaped and cut short.
        {"{\"\\u001b" + std::string(300, 'k') + "\":1,\"\\u001b" + std::string(300, 'k') + "\":2}",
         "duplicate field `\\x1b" + std::string(199, 'k') + "\u2026`"},
    };
    JsonParser parser(qel_core::kMaxJsonDepth);
    for (const auto& [text, expected] : cases) {
        auto root = parser.parse(text);
        const auto strict = nlohmann::json::error_handler_t::strict;
        EXPECT_EQ(root ? qel_core::to_generic(*root).dump(-1, ' ', false, strict) : root.error(), expected) << text;
    }
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

TEST(JsonParser, KeepsIntegersBeyond64BitsWhenAsked) {
    const std::string big = "115792089237316195423570985008687907853269984665640564039457584007913129639935";
    JsonParser parser(qel_core::kMaxJsonDepth);
    // Told apart from strings of the same text, wherever they are and
    // whatever escapes and names come before them.
    auto r = parser.parse_keeping_big_integers(R"({"\u0041":")" + big + R"(","b":[)" + big + ",\"" + big +
                                               "\",-" + big + R"(,1.5,18446744073709551615]})");
    ASSERT_TRUE(r.has_value()) << r.error();
    std::vector<std::string> seen;
    const simdjson::dom::array items = r->at_key("b").get_array().value_unsafe();
    for (const simdjson::dom::element v : items) {
        std::string_view s;
        seen.push_back(v.get_string().get(s) != simdjson::SUCCESS
                           ? simdjson::to_string(v)
                           : (parser.is_big_integer(s) ? "integer " : "string ") + std::string(s));
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"integer " + big, "string " + big, "integer -" + big, "1.5",
                                              "18446744073709551615"}));
    EXPECT_FALSE(parser.is_big_integer(r->at_key("A").get_string().value_unsafe()));
    EXPECT_EQ(qel_test::error_of(parser.parse_keeping_big_integers(R"({"a":1,"a":)" + big + "}")),
              "duplicate field `a`");
    // What the plain reader refuses, so does this one.
    for (const std::string& text : {"{" + big + ":1}", "[" + big + "\"x\"]", "[\"x\"" + big + "]", "[0" + big + "]"}) {
        EXPECT_FALSE(parser.parse_keeping_big_integers(text).has_value()) << text;
        EXPECT_FALSE(parser.parse(text).has_value()) << text;
    }
}

}  // namespace
