// The text decoders, chosen by the first byte: what a decoder accepts
// encodes back to its input (lower-cased where case does not count); what
// it refuses, it explains in valid UTF-8.
#include <algorithm>
#include <string>

#include "fuzz.hpp"
#include "qel_signer/encoding.hpp"

using namespace qel_signer;

static std::string lower(std::string_view text) {
    std::string out(text);
    std::ranges::transform(out, out.begin(), [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; });
    return out;
}

FUZZ_TARGET {
    if (size == 0) return;
    const std::string_view coded = text.substr(1);
    switch (data[0] % 6) {
        case 0:
            if (const auto b = hex_decode(coded); fuzz::explained(b)) FUZZ_CHECK(hex_encode(*b) == lower(coded));
            break;
        case 1:
            if (const auto b = base58_decode(coded); fuzz::explained(b)) FUZZ_CHECK(base58_encode(*b) == coded);
            break;
        case 2:
            if (const auto b = base58check_decode(coded)) FUZZ_CHECK(base58check_encode(*b) == coded);
            break;
        case 3:
            if (const auto b = base64url_decode(coded)) FUZZ_CHECK(base64url_encode(*b) == coded);
            break;
        case 4:
            if (const auto d = bech32_decode(coded)) FUZZ_CHECK(bech32_encode(d->hrp, d->data5) == lower(coded));
            break;
        default:
            if (const auto d = segwit_decode("bc", coded); d && d->version == 0) {
                FUZZ_CHECK(segwit_v0_encode("bc", d->program) == lower(coded));
            }
    }
}
