#include "shown.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "utf8.hpp"

namespace qel_core {

std::string shown(std::string_view text, std::size_t max_chars) {
    std::string out;
    out.reserve(std::min(text.size(), max_chars * 4) + 3);
    std::size_t chars = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        if (chars == max_chars) return out + "\u2026";
        ++chars;
        const std::size_t length = utf8_sequence_length(text.substr(i));
        if (length == 0) {
            out += "\uFFFD";
            ++i;
            continue;
        }
        const auto b0 = static_cast<std::uint8_t>(text[i]);
        const auto b1 = length == 2 ? static_cast<std::uint8_t>(text[i + 1]) : 0;
        char escape[12];
        if (b0 == '\n') {
            out += "\\n";
        } else if (b0 == '\t') {
            out += "\\t";
        } else if (b0 == '\r') {
            out += "\\r";
        } else if (b0 < 0x20 || b0 == 0x7F) {
            std::snprintf(escape, sizeof escape, "\\x%02x", b0);
            out += escape;
        } else if (b0 == 0xC2 && b1 >= 0x80 && b1 <= 0x9F) {
            std::snprintf(escape, sizeof escape, "\\u{%02x}", b1);
            out += escape;
        } else {
            out.append(text, i, length);
        }
        i += length;
    }
    return out;
}

}  // namespace qel_core
