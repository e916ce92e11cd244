#include "text.hpp"

namespace qel_lib {

std::string_view strip_0x(std::string_view text) noexcept {
    if (text.size() >= 2 && text[0] == '0' && text[1] == 'x') text.remove_prefix(2);
    return text;
}

}  // namespace qel_lib
