#pragma once

// Input quoted in a warning or an error text: files, names, documents and
// replies are hostile, so what is quoted of them can neither drive the
// terminal nor grow the text without bound.

#include <cstddef>
#include <string>
#include <string_view>

namespace qel_core {

// The longest quotation, in characters.
inline constexpr std::size_t kMaxShownChars = 200;

// `text` as it may be printed: control characters escaped ("\n", "\t",
// "\r", "\x1b" below U+0080, "\u{9b}" for U+0080 to U+009F), each byte
// that is not well-formed UTF-8 as U+FFFD, and cut after `max_chars`
// characters, "…" marking the cut.
[[nodiscard]] std::string shown(std::string_view text, std::size_t max_chars = kMaxShownChars);

}  // namespace qel_core
