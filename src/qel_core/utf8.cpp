#include "utf8.hpp"

#include <cstdint>

namespace qel_core {

namespace {

// Length of the well-formed sequence at the start of s, or 0; `consumed`
// receives the length of the maximal ill-formed subpart when there is none.
std::size_t sequence(std::string_view s, std::size_t& consumed) noexcept {
    const auto at = [&](std::size_t k) { return static_cast<std::uint8_t>(s[k]); };
    const std::uint8_t b0 = at(0);
    consumed = 1;
    if (b0 < 0x80) return 1;
    std::size_t need = 0;
    std::uint8_t lo = 0x80;
    std::uint8_t hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2;
        if (b0 == 0xE0) lo = 0xA0;  // overlong
        if (b0 == 0xED) hi = 0x9F;  // surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3;
        if (b0 == 0xF0) lo = 0x90;  // overlong
        if (b0 == 0xF4) hi = 0x8F;  // above U+10FFFF
    } else {
        return 0;
    }
    for (std::size_t k = 1; k <= need; ++k) {
        if (k >= s.size()) return 0;
        const std::uint8_t b = at(k);
        if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF)) return 0;
        consumed = k + 1;
    }
    return need + 1;
}

}  // namespace

std::size_t utf8_sequence_length(std::string_view s) noexcept {
    if (s.empty()) return 0;
    std::size_t consumed = 0;
    return sequence(s, consumed);
}

bool is_valid_utf8(std::string_view s) noexcept {
    while (!s.empty()) {
        std::size_t consumed = 0;
        const std::size_t n = sequence(s, consumed);
        if (n == 0) return false;
        s.remove_prefix(n);
    }
    return true;
}

std::string utf8_lossy(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    while (!s.empty()) {
        std::size_t consumed = 0;
        const std::size_t n = sequence(s, consumed);
        if (n != 0) {
            out.append(s.substr(0, n));
            s.remove_prefix(n);
        } else {
            out.append("\xEF\xBF\xBD");
            s.remove_prefix(consumed);
        }
    }
    return out;
}

}  // namespace qel_core
