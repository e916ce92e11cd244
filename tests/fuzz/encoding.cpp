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

// True when decoded; a refusal's text must be valid UTF-8.
template <typename T>
bool explained(const std::expected<T, std::string>& result) {
    if (!result) FUZZ_CHECK(qel_core::is_valid_utf8(result.error()));
    return result.has_value();
}

}  // namespace

FUZZ_TARGET {
    if (size == 0) return 0;
    const std::string_view text = fuzz::text(data + 1, size - 1);
    switch (data[0] % 6) {
        case 0:
            if (const auto b = hex_decode(text); explained(b)) FUZZ_CHECK(hex_encode(*b) == lower(text));
            break;
        case 1:
            if (const auto b = base58_decode(text); explained(b)) FUZZ_CHECK(base58_encode(*b) == text);
            break;
        case 2:
            if (const auto b = base58check_decode(text)) FUZZ_CHECK(base58check_encode(*b) == text);
            break;
        case 3:
            if (const auto b = base64url_decode(text)) FUZZ_CHECK(base64url_encode(*b) == text);
            break;
        case 4:
            if (const auto d = bech32_decode(text)) FUZZ_CHECK(bech32_encode(d->hrp, d->data5) == lower(text));
            break;
        default:
            if (const auto d = segwit_decode("bc", text); d && d->version == 0) {
                FUZZ_CHECK(segwit_v0_encode("bc", d->program) == lower(text));
            }
    }
    return 0;
}
