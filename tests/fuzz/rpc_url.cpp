// The endpoint check before curl runs: a URL it lets through is http or
// https, ends no configuration line early, and is not expanded by curl into
// several requests.
#include <algorithm>
#include <cctype>
#include <string>

#include "fuzz.hpp"
#include "qel_lib/ops.hpp"

FUZZ_TARGET {
    const auto checked = qel_lib::ops::check_rpc_url(text);
    if (!checked) {
        FUZZ_CHECK(checked.error().message().starts_with("broadcast failed: invalid RPC URL: '"));
        return;
    }
    std::string scheme(text.substr(0, 8));
    std::ranges::transform(scheme, scheme.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    FUZZ_CHECK(scheme.starts_with("http://") || scheme.starts_with("https://"));
    FUZZ_CHECK(std::ranges::none_of(text, [](unsigned char c) { return c < 0x20 || c == 0x7F; }));
    FUZZ_CHECK(text.find_first_of("{}") == std::string_view::npos);
    FUZZ_CHECK(std::ranges::count(text, '[') <= 1 && std::ranges::count(text, ']') <= 1);
}
