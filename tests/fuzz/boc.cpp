// The bag-of-cells reader: what it accepts, written in the library's own
// form, reads back as the same cells with the same hashes; what it refuses,
// it explains in valid UTF-8. A signing message it accepts signs into an
// external message that reads back with the hash reported for it.
#include "fuzz.hpp"
#include "qel_signer/chains/ton/boc.hpp"
#include "qel_signer/chains/ton/wallet_v5.hpp"

namespace ton = qel_signer::chains::ton;

FUZZ_TARGET {
    const auto boc = ton::read_boc(input);
    if (!fuzz::explained(boc)) return;
    const auto again = ton::read_boc(ton::write_boc(*boc));
    FUZZ_CHECK(again.has_value() && again->cells.size() == boc->cells.size());
    for (std::size_t i = 0; i < boc->cells.size(); ++i) {
        FUZZ_CHECK(again->cells[i].hash == boc->cells[i].hash && again->cells[i].data == boc->cells[i].data);
    }
    const auto message = ton::read_signing_message(input);
    if (!fuzz::explained(message)) return;
    static const qel_signer::Bytes key(32, 0x11);
    if (const auto signed_tx = ton::sign_external(key, *message)) {
        const auto external = ton::read_boc(signed_tx->wire);
        FUZZ_CHECK(external.has_value() &&
                   qel_signer::Bytes(external->cells[0].hash.begin(), external->cells[0].hash.end()) == signed_tx->hash);
    }
}
