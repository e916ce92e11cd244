// The PSBT reader: the unsigned transaction it accepts serializes back to a
// transaction that reads the same; what it refuses, it explains in valid
// UTF-8. Signing an accepted PSBT either works or refuses an input.
#include "fuzz.hpp"
#include "qel_signer/chains/bitcoin/signing.hpp"

namespace btc = qel_signer::chains::bitcoin;

FUZZ_TARGET {
    const auto psbt = btc::read_psbt(input);
    if (!fuzz::explained(psbt)) return;
    const qel_signer::Bytes bare = btc::serialize_without_witness(psbt->tx);
    const auto again = btc::read_transaction(bare, false);
    FUZZ_CHECK(again.has_value() && btc::serialize_without_witness(*again) == bare);
    FUZZ_CHECK(psbt->inputs.size() == psbt->tx.inputs.size());
    if (btc::check_signable(*psbt)) {
        static const qel_signer::Bytes key(32, 0x11);
        const auto signed_tx = btc::sign_psbt(key, *psbt);
        FUZZ_CHECK(signed_tx || signed_tx.error().kind == qel_signer::SignerError::Kind::InvalidTransaction);
    }
}
