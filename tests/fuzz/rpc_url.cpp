// The endpoint check before curl runs: a URL it lets through cannot be read
// by curl as an option or expanded into several requests.
#include <algorithm>

#include "fuzz.hpp"
#include "qel_lib/ops.hpp"

FUZZ_TARGET {
    const std::string_view url = fuzz::text(data, size);
    const auto checked = qel_lib::ops::check_rpc_url(url);
    if (!checked) {
        FUZZ_CHECK(checked.error().message().starts_with("broadcast failed: invalid RPC URL: '"));
        return 0;
    }
    FUZZ_CHECK(!url.starts_with('-') && url.find_first_of("{}") == std::string_view::npos);
    FUZZ_CHECK(std::ranges::count(url, '[') <= 1 && std::ranges::count(url, ']') <= 1);
    return 0;
}
