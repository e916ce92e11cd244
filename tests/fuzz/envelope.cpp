// The envelope as a wallet's "crypto" member reaches it: read back to the
// same value, refused before any key stretching when N is below the minimum,
// and opened (tiny costs only) through the hook that lowers the minimums.
#include "fuzz.hpp"
#include "qel_core/json.hpp"
#include "qel_signer/envelope.hpp"

using namespace qel_signer::crypto;

FUZZ_TARGET {
    qel_core::JsonParser parser(qel_core::kMaxJsonDepth);
    auto root = parser.parse(text);
    if (!root) return;
    auto envelope = CryptoEnvelope::from_json(qel_core::to_generic(*root));
    if (!envelope) return;
    auto again = CryptoEnvelope::from_json(envelope->to_json());
    FUZZ_CHECK(again.has_value() && again->to_json() == envelope->to_json());

    const KdfParams& kdf = envelope->kdfparams;
    if (kdf.n < 262144) {
        auto opened = decrypt(*envelope, "");
        FUZZ_CHECK(!opened.has_value() && opened.error().kind == CryptoError::Kind::InvalidParams);
    }
    if (kdf.n <= 64 && kdf.r <= 8 && kdf.p <= 2) (void)testing::decrypt_with_minimums(*envelope, "", 2, 1);
}
