// Typed data: whatever the document, hashing ends in bounded work with a
// result or an error text that is valid UTF-8, free of control characters
// and of bounded length; the reader that keeps integers beyond 64 bits
// accepts exactly what the plain reader accepts.
#include <algorithm>

#include "fuzz.hpp"
#include "qel_core/json.hpp"
#include "qel_core/utf8.hpp"
#include "qel_signer/chains/evm_typed_data.hpp"

FUZZ_TARGET {
    const std::string_view text = fuzz::text(data, size);
    const auto hashed = qel_signer::chains::evm::hash_typed_data(text);
    if (!hashed) {
        const std::string& error = hashed.error();
        FUZZ_CHECK(qel_core::is_valid_utf8(error));
        FUZZ_CHECK(std::ranges::none_of(error, [](unsigned char c) { return c < 0x20 || c == 0x7F; }));
        FUZZ_CHECK(error.size() <= 16 * 1024);
    }
    qel_core::JsonParser plain(qel_core::kMaxJsonDepth);
    qel_core::JsonParser exact(qel_core::kMaxJsonDepth);
    FUZZ_CHECK(plain.parse(text).has_value() == exact.parse_keeping_big_integers(text).has_value());
    return 0;
}
