#include "qel_core/shown.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string r = "\xEF\xBF\xBD";  // U+FFFD

TEST(Shown, EscapesControlsAndCutsLongTexts) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain \xc3\xa9\xf0\x9f\x98\x80 \\x", "plain \xc3\xa9\xf0\x9f\x98\x80 \\x"},
        {"a\nb\tc\rd", "a\\nb\\tc\\rd"},
        {std::string("\x1b]0;t\x07\x00\x7f", 8), "\\x1b]0;t\\x07\\x00\\x7f"},
        {"\xc2\x9b" "2J \xc2\xa0", "\\u{9b}2J \xc2\xa0"},  // C1 control escaped, no-break space kept
        {"a\xff" "b\xe2\x82", "a" + r + "b" + r + r},
        {std::string(200, 'x'), std::string(200, 'x')},
        {std::string(201, 'x'), std::string(200, 'x') + "\xe2\x80\xa6"},
        // Characters, not bytes, are counted; an escape is one character.
        {std::string(199, 'x') + "\xf0\x9f\x98\x80\n", std::string(199, 'x') + "\xf0\x9f\x98\x80\xe2\x80\xa6"},
        {std::string(199, 'x') + "\n\n", std::string(199, 'x') + "\\n\xe2\x80\xa6"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(qel_core::shown(in), out) << in;
    EXPECT_EQ(qel_core::shown("abcdef", 3), "abc\xe2\x80\xa6");
}

}  // namespace
