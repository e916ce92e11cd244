#pragma once

#include <expected>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace qel_core {

// Deepest nesting of arrays and objects that parse_json_strict accepts. Wallet
// and configuration files need a handful of levels; the limit keeps hostile
// input from exhausting the stack of the recursive writers and readers.
inline constexpr std::size_t kMaxJsonDepth = 256;

// Parses one JSON document. Unlike nlohmann::json::parse, a member name that
// occurs twice in one object is an error ("duplicate field `name`"), nesting
// deeper than kMaxJsonDepth is an error, and no exception escapes: every
// failure comes back as the error text (always valid UTF-8).
[[nodiscard]] std::expected<nlohmann::json, std::string> parse_json_strict(std::string_view text);

// Writes a JSON value pretty-printed with two-space indentation, members in
// the value's own order, strings escaped minimally (quote, backslash and
// control characters only; everything else raw UTF-8), no trailing newline.
// A string holding invalid UTF-8 (possible only for values built in code,
// never for parsed ones) has each offending byte written as U+FFFD, so the
// output always parses back; nothing is thrown for it.
[[nodiscard]] std::string dump_pretty(const nlohmann::json& value);
// The same for insertion-ordered values (used where the member order is
// fixed by the file format rather than by name).
[[nodiscard]] std::string dump_pretty(const nlohmann::ordered_json& value);

}  // namespace qel_core
