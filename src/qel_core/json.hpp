#pragma once

#include <expected>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace qel_core {

// Parses one JSON document. Unlike nlohmann::json::parse, a member name that
// occurs twice in one object is an error ("duplicate field `name`"), and no
// exception escapes: every failure comes back as the error text.
[[nodiscard]] std::expected<nlohmann::json, std::string> parse_json_strict(std::string_view text);

// Writes a JSON value pretty-printed with two-space indentation, members in
// the value's own order, strings escaped minimally (quote, backslash and
// control characters only; everything else raw UTF-8), no trailing newline.
[[nodiscard]] std::string dump_pretty(const nlohmann::json& value);

}  // namespace qel_core
