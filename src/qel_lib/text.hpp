#pragma once

#include <string_view>

#include "qel_signer/bytes.hpp"

namespace qel_lib {

// Hex with an optional leading "0x" (lower-case x only) dropped first.
[[nodiscard]] std::string_view strip_0x(std::string_view text) noexcept;

// The bytes seen as text, without copying.
[[nodiscard]] inline std::string_view as_text(qel_signer::ByteSpan bytes) noexcept {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace qel_lib
