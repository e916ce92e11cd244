#include "qel_core/utf8.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string r = "\xEF\xBF\xBD";  // U+FFFD

// One U+FFFD per maximal ill-formed subpart, as the Unicode standard
// recommends; well-formed text passes unchanged.
TEST(Utf8, LossyAndValid) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain \xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", "plain \xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"},
        {"a\xff" "b", "a" + r + "b"},
        {"\xe2\x82", r},                      // truncated three-byte sequence
        {"\xe0\x80\x80", r + r + r},          // overlong
        {"\xed\xa0\x80", r + r + r},          // surrogate
        {"\xf4\x90\x80\x80", r + r + r + r},  // above U+10FFFF
        {"\xc0\xaf", r + r},
        {"\x80\x80", r + r},
    };
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(qel_core::utf8_lossy(in), out) << in;
        EXPECT_EQ(qel_core::is_valid_utf8(in), in == out) << in;
    }
}

}  // namespace
