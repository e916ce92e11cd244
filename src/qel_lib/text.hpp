#pragma once

#include <string>
#include <string_view>

#include "qel_signer/bytes.hpp"

namespace qel_lib {

// True when the bytes are well-formed UTF-8 (no overlongs, no surrogates,
// nothing above U+10FFFF).
[[nodiscard]] bool is_valid_utf8(qel_signer::ByteSpan bytes) noexcept;

// The text with every ill-formed sequence replaced by U+FFFD, one
// replacement per maximal ill-formed subpart.
[[nodiscard]] std::string utf8_lossy(std::string_view bytes);

// Hex with an optional leading "0x" (lower-case x only) dropped first.
[[nodiscard]] std::string_view strip_0x(std::string_view text) noexcept;

}  // namespace qel_lib
