#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qel_core {

// Length of the well-formed UTF-8 sequence that starts `s` (no overlongs, no
// surrogates, nothing above U+10FFFF), or 0 when `s` does not start with one.
[[nodiscard]] std::size_t utf8_sequence_length(std::string_view s) noexcept;

// True when all of `s` is well-formed UTF-8.
[[nodiscard]] bool is_valid_utf8(std::string_view s) noexcept;

// `s` with every ill-formed sequence replaced by U+FFFD, one replacement per
// maximal ill-formed subpart (so a truncated sequence becomes one U+FFFD).
[[nodiscard]] std::string utf8_lossy(std::string_view s);

}  // namespace qel_core
