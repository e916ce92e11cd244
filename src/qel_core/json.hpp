#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>
#include <simdjson.h>

#include "padded_text.hpp"

namespace qel_core {

// Deepest nesting of arrays and objects in a wallet or configuration file.
// They need a handful of levels; the limit keeps hostile input from
// exhausting the stack of the recursive code that walks a document.
inline constexpr std::size_t kMaxJsonDepth = 256;

// Reads JSON texts with simdjson's DOM parser, which checks the whole text
// (grammar, UTF-8, escapes, numbers) before anything is read from it, and
// adds the rules it leaves to its callers: a member name that occurs twice in
// one object is refused ("duplicate field `name`"), and so is nesting deeper
// than the parser's limit ("nesting deeper than N levels"). A syntax error
// is told in simdjson's own words. Integers beyond 64 bits, which simdjson
// refuses, are read as floating point. Nothing is thrown; every error text
// is valid UTF-8, and a name it quotes is escaped and cut short (shown()).
//
// One parser reads any number of texts in turn, reusing its buffers; the
// elements of a parsed document stay valid until the next parse.
class JsonParser {
public:
    // For texts that hold secrets: the function that wipes memory.
    using Wipe = void (*)(void*, std::size_t) noexcept;

    explicit JsonParser(std::size_t max_depth);
    // A parser for secret texts: an error never says where or what (its text
    // is "not valid JSON" or the duplicate/nesting message without a name),
    // and every buffer that held the text or a string of it is wiped with
    // `wipe` when the parser is destroyed. Meant for one text.
    JsonParser(std::size_t max_depth, Wipe wipe);
    ~JsonParser();
    JsonParser(const JsonParser&) = delete;
    JsonParser& operator=(const JsonParser&) = delete;

    // Parses a text in place: it must be followed by kJsonPadding readable
    // bytes, as a PaddedText's is.
    [[nodiscard]] std::expected<simdjson::dom::element, std::string> parse(const PaddedText& text);
    // Parses any text (copied into the parser's own padded buffer first).
    [[nodiscard]] std::expected<simdjson::dom::element, std::string> parse(std::string_view text);

    // For a reader that walks the top of a document itself, to visit each
    // value once: parses a padded text like parse() but leaves the rules on
    // repeated names and nesting to the caller, who must then pass the member
    // names of every object it walks to check_names(), and every value it
    // does not walk to check() with its nesting level (1 for the root).
    [[nodiscard]] std::expected<simdjson::dom::element, std::string> parse_unchecked(const PaddedText& text);
    [[nodiscard]] std::expected<void, std::string> check(simdjson::dom::element value, std::size_t depth);
    [[nodiscard]] std::expected<void, std::string> check_names(std::span<std::string_view> names) const;

    // Parses any text like parse(), but keeps every integer beyond 64 bits
    // exactly: it becomes a string element holding its digits, which
    // is_big_integer() tells from the strings of the text. For typed data,
    // whose integers have up to 256 bits.
    [[nodiscard]] std::expected<simdjson::dom::element, std::string> parse_keeping_big_integers(
        std::string_view text);
    // True when `string_value`, a string of the document that
    // parse_keeping_big_integers() gave last, was an integer of the text.
    [[nodiscard]] bool is_big_integer(std::string_view string_value) const noexcept;

private:
    std::expected<simdjson::dom::element, std::string> parse_padded(std::string_view text, bool checked);
    std::string duplicate(std::string_view name) const;

    simdjson::dom::parser parser_;
    PaddedText copy_;
    PaddedText widened_;  // a copy with its integers beyond 64 bits made floating point
    std::vector<std::string_view> names_;  // member names of the objects being checked
    std::vector<const char*> big_integers_;  // where the integers beyond 64 bits are, ascending
    std::size_t max_depth_;
    Wipe wipe_ = nullptr;
};

// The text of the nesting error: "nesting deeper than <max_depth> levels".
[[nodiscard]] std::string too_deep_text(std::size_t max_depth);

// The value as a generic JSON value (objects sorted by member name).
// Non-negative integers become unsigned, as nlohmann's own parser makes them.
[[nodiscard]] nlohmann::json to_generic(simdjson::dom::element value);

// How a value of the wrong type is named in an error: "null", "boolean
// `true`", "integer `7`", "floating point `2.0`", "string \"x\"" (cut after
// 64 bytes), "sequence" or "map".
[[nodiscard]] std::string describe(simdjson::dom::element value);
// "invalid type: <describe(value)>, expected <expected>"
[[nodiscard]] std::string invalid_type(simdjson::dom::element value, std::string_view expected);
// "missing field `name`"
[[nodiscard]] std::string missing_field(std::string_view name);

// The member `name` of an object, or nothing. Member names are unique once a
// JsonParser has accepted the document.
[[nodiscard]] std::optional<simdjson::dom::element> find_member(simdjson::dom::object object,
                                                               std::string_view name) noexcept;

}  // namespace qel_core
