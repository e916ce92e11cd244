// The derivation path parser, alone and as both derivations apply it: a path
// the grammar refuses, each derivation refuses with the same error; one it
// accepts, each derives, apart from the refusals that belong to the curve.
#include <array>

#include "fuzz.hpp"
#include "qel_signer/hd.hpp"

using qel_signer::Curve;
using qel_signer::HdDeriver;
using qel_signer::HdError;

FUZZ_TARGET {
    const auto valid = HdDeriver::validate_path(text);
    // Each step costs a hash or two; long paths tell the grammar nothing new.
    if (size > 256) return;
    static constexpr std::array<std::uint8_t, 16> kSeed = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    const auto secp = HdDeriver::derive(kSeed, text, Curve::Secp256k1);
    const auto ed = HdDeriver::derive(kSeed, text, Curve::Ed25519);
    if (!valid) {
        const std::string error = valid.error().message();
        FUZZ_CHECK(!secp && secp.error().message() == error && !ed && ed.error().message() == error);
        return;
    }
    // secp256k1 takes one hardened marker per step, Ed25519 hardened steps only.
    FUZZ_CHECK(secp ? secp->size() == 32
                    : secp.error().kind == HdError::Kind::InvalidPath && text.find("''") != std::string_view::npos);
    FUZZ_CHECK(ed ? ed->size() == 32 : ed.error().kind == HdError::Kind::HardenedOnly);
}
