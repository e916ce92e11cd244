#include "text.hpp"

#include <cstdint>

namespace qel_lib {

namespace {

// Length of the well-formed sequence starting at s[i], or 0 when ill-formed;
// `consumed` receives the length of the maximal ill-formed subpart.
std::size_t utf8_sequence(std::string_view s, std::size_t i, std::size_t& consumed) {
    const auto at = [&](std::size_t k) { return static_cast<std::uint8_t>(s[k]); };
    const std::uint8_t b0 = at(i);
    consumed = 1;
    if (b0 < 0x80) return 1;
    std::size_t need = 0;
    std::uint8_t lo = 0x80;
    std::uint8_t hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    for (std::size_t k = 1; k <= need; ++k) {
        if (i + k >= s.size()) return 0;
        const std::uint8_t b = at(i + k);
        const std::uint8_t min = k == 1 ? lo : 0x80;
        const std::uint8_t max = k == 1 ? hi : 0xBF;
        if (b < min || b > max) return 0;
        consumed = k + 1;
    }
    return need + 1;
}

}  // namespace

bool is_valid_utf8(qel_signer::ByteSpan bytes) noexcept {
    const std::string_view s(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    for (std::size_t i = 0; i < s.size();) {
        std::size_t consumed = 0;
        const std::size_t n = utf8_sequence(s, i, consumed);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::string utf8_lossy(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        std::size_t consumed = 0;
        const std::size_t n = utf8_sequence(s, i, consumed);
        if (n != 0) {
            out.append(s.substr(i, n));
            i += n;
        } else {
            out.append("\xEF\xBF\xBD");
            i += consumed;
        }
    }
    return out;
}

std::string_view strip_0x(std::string_view text) noexcept {
    if (text.size() >= 2 && text[0] == '0' && text[1] == 'x') text.remove_prefix(2);
    return text;
}

}  // namespace qel_lib
