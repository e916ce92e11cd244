// The text decoders, chosen by the first byte: what a decoder accepts
// encodes back to its input (lower-cased where case does not count); what
// it refuses, it explains in valid UTF-8.
#include <algorithm>
#include <string>

#include "fuzz.hpp"
#include "qel_core/utf8.hpp"
#include "qel_signer/encoding.hpp"

using namespace qel_signer;

namespace {

std::string lower(std::string_view text) {
    std::string out(text);
    std::ranges::transform(out, out.begin(), [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; });
    return out;
}

template <typename T>
void check_error(const std::expected<T, std::string>& result) {
    if (!result) FUZZ_CHECK(qel_core::is_valid_utf8(result.error()));
}

}  // namespace

FUZZ_TARGET {
    if (size == 0) return 0;
    const std::string_view text = fuzz::text(data + 1, size - 1);
    switch (data[0] % 6) {
        case 0: {
            const auto bytes = hex_decode(text);
            check_error(bytes);
            if (bytes) FUZZ_CHECK(hex_encode(*bytes) == lower(text));
            break;
        }
        case 1: {
            const auto bytes = base58_decode(text);
            check_error(bytes);
            if (bytes) FUZZ_CHECK(base58_encode(*bytes) == text);
            break;
        }
        case 2: {
            const auto bytes = base58check_decode(text);
            if (bytes) FUZZ_CHECK(base58check_encode(*bytes) == text);
            break;
        }
        case 3: {
            const auto bytes = base64url_decode(text);
            if (bytes) FUZZ_CHECK(base64url_encode(*bytes) == text);
            break;
        }
        case 4: {
            const auto decoded = bech32_decode(text);
            if (decoded) FUZZ_CHECK(bech32_encode(decoded->hrp, decoded->data5) == lower(text));
            break;
        }
        default: {
            const auto decoded = segwit_decode("bc", text);
            if (decoded && decoded->version == 0) FUZZ_CHECK(segwit_v0_encode("bc", decoded->program) == lower(text));
            break;
        }
    }
    return 0;
}
