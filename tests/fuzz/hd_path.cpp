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
    const std::string_view path = fuzz::text(data, size);
    const auto valid = HdDeriver::validate_path(path);
    // Each step costs a hash or two; long paths tell the grammar nothing new.
    if (size > 256) return 0;
    static constexpr std::array<std::uint8_t, 16> kSeed = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    const auto secp = HdDeriver::derive(kSeed, path, Curve::Secp256k1);
    const auto ed = HdDeriver::derive(kSeed, path, Curve::Ed25519);
    if (!valid) {
        const std::string error = valid.error().message();
        FUZZ_CHECK(!secp && secp.error().message() == error && !ed && ed.error().message() == error);
        return 0;
    }
    // secp256k1 takes one hardened marker per step, Ed25519 hardened steps only.
    FUZZ_CHECK(secp ? secp->size() == 32
                    : secp.error().kind == HdError::Kind::InvalidPath && path.find("''") != std::string_view::npos);
    FUZZ_CHECK(ed ? ed->size() == 32 : ed.error().kind == HdError::Kind::HardenedOnly);
    return 0;
}
