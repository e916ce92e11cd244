#include "qel_core/json.hpp"
#include "qel_core/utf8.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

using nlohmann::json;
using qel_core::dump_pretty;
using qel_core::parse_json_strict;

TEST(ParseJsonStrict, RejectsRepeatedMemberNames) {
    struct Case {
        std::string text;
        std::string error;
    };
    const Case cases[] = {
        {R"({"a":1,"a":1})", "duplicate field `a`"},
        {R"({"x":{"b":1,"c":2,"b":3}})", "duplicate field `b`"},
        {R"([{"ok":1},{"k":[],"k":{}}])", "duplicate field `k`"},
        {R"({"":1,"":2})", "duplicate field ``"},
    };
    for (const auto& c : cases) {
        auto r = parse_json_strict(c.text);
        ASSERT_FALSE(r.has_value()) << c.text;
        EXPECT_EQ(r.error(), c.error) << c.text;
    }
}

TEST(ParseJsonStrict, SameNameInDifferentObjectsIsFine) {
    auto r = parse_json_strict(R"({"a":{"a":1},"b":[{"a":2},{"a":3}]})");
    ASSERT_TRUE(r.has_value()) << r.error();
    EXPECT_EQ((*r)["b"][1]["a"], 3);
    EXPECT_EQ((*r)["a"]["a"], 1);
}

TEST(ParseJsonStrict, BoundsNesting) {
    const auto nested = [](std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); };
    EXPECT_TRUE(parse_json_strict(nested(qel_core::kMaxJsonDepth)).has_value());
    for (std::size_t depth : {qel_core::kMaxJsonDepth + 1, std::size_t{1'000'000}}) {
        auto r = parse_json_strict(nested(depth));
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error(), "nesting deeper than 256 levels");
    }
    auto objects = parse_json_strict(std::string(300, '{'));
    ASSERT_FALSE(objects.has_value());
}

TEST(ParseJsonStrict, SyntaxErrorsComeBackAsValidUtf8Text) {
    for (const std::string text : {"", "{", "[1,]", "{} x", "{\"a\" 1}", "\"\xff\"", "\"\xc3\"", "\xe2\x82", "nul",
                                   "1e999"}) {
        auto r = parse_json_strict(text);
        ASSERT_FALSE(r.has_value()) << text;
        EXPECT_FALSE(r.error().empty());
        EXPECT_EQ(qel_core::utf8_lossy(r.error()), r.error());
    }
}

TEST(DumpPretty, LayoutAndMinimalEscaping) {
    // Expected text produced independently with Python's
    // json.dumps(v, ensure_ascii=False, indent=2, sort_keys=True).
    const json v = {
        {"s", std::string("q\"b\\\b\t\n\f\r\0\x01\x1f\x7f \xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", 23)},
        {"z", json::array()},
        {"a", json::object()},
        {"n", {1, -2, {{"t", true}, {"k", nullptr}}}},
        {"f", 1.5},
        {"u", 18446744073709551615ull},
    };
    EXPECT_EQ(dump_pretty(v),
              "{\n"
              "  \"a\": {},\n"
              "  \"f\": 1.5,\n"
              "  \"n\": [\n"
              "    1,\n"
              "    -2,\n"
              "    {\n"
              "      \"k\": null,\n"
              "      \"t\": true\n"
              "    }\n"
              "  ],\n"
              "  \"s\": \"q\\\"b\\\\\\b\\t\\n\\f\\r\\u0000\\u0001\\u001f\x7f \xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\",\n"
              "  \"u\": 18446744073709551615,\n"
              "  \"z\": []\n"
              "}");
    EXPECT_EQ(dump_pretty(json("x")), "\"x\"");
    EXPECT_EQ(dump_pretty(json::array()), "[]");
}

TEST(DumpPretty, InvalidUtf8BecomesReplacementCharacter) {
    struct Case {
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        {"a\xff" "b", "\"a\xef\xbf\xbd" "b\""},
        {"\xc3", "\"\xef\xbf\xbd\""},                          // truncated sequence
        {"\xed\xa0\x80", "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\""},  // surrogate
        {"\xc0\xaf", "\"\xef\xbf\xbd\xef\xbf\xbd\""},              // overlong
    };
    for (const auto& c : cases) {
        const std::string text = dump_pretty(json(c.in));
        EXPECT_EQ(text, c.out);
        EXPECT_TRUE(parse_json_strict(text).has_value());
    }
}

TEST(DumpPretty, RoundTripsThroughTheStrictParser) {
    const std::string text = R"({"crypto":{"kdfparams":{"salt":"00","n":262144},"cipher":"aes-256-gcm"},"list":[[],{}],"x":-0.25})";
    auto v = parse_json_strict(text);
    ASSERT_TRUE(v.has_value());
    auto again = parse_json_strict(dump_pretty(*v));
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(*again, *v);
}

TEST(DumpPretty, OrderedValuesKeepInsertionOrder) {
    nlohmann::ordered_json v = nlohmann::ordered_json::object();
    v["z"] = 1;
    v["a"] = nlohmann::ordered_json(json{{"y", 1}, {"b", 2}});
    EXPECT_EQ(dump_pretty(v), "{\n  \"z\": 1,\n  \"a\": {\n    \"b\": 2,\n    \"y\": 1\n  }\n}");
}

}  // namespace

namespace {

// The reader against the library's own parser on documents that both accept.
TEST(ParseJsonStrict, AgreesWithTheLibraryOnValidDocuments) {
    for (const std::string text : {
             R"({"a":[1,-2,3.5,1e2,-0,18446744073709551615,-9223372036854775808,18446744073709551616],"b":null})",
             R"([true,false,null,"",{}, [] ,"\u00e9\ud83d\ude00\n\t\"\\\/\b\f\r"])",
             " \t\r\n{\"k\" : \"v\" } \n",
             "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\"",
             "1e-400",
         }) {
        auto ours = parse_json_strict(text);
        ASSERT_TRUE(ours.has_value()) << text << ": " << ours.error();
        EXPECT_EQ(*ours, json::parse(text)) << text;
        EXPECT_EQ(ours->dump(), json::parse(text).dump()) << text;
    }
}

TEST(ParseJsonStrict, RejectsWhatTheGrammarDoesNot) {
    struct Case {
        std::string text;
        std::string error;
    };
    const Case cases[] = {
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
    };
    for (const Case& c : cases) {
        auto r = parse_json_strict(c.text);
        ASSERT_FALSE(r.has_value()) << c.text;
        EXPECT_EQ(r.error(), c.error) << c.text;
    }
}

}  // namespace
