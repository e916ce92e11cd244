// The Solana message reader and transaction check: a message read from the
// front reads the same alone; a transaction that passes gives its message to
// be signed and takes the signature into slot 0, every other byte kept, and
// its view's keys and instructions lie within it, the fee payer in slot 0.
#include <algorithm>

#include "fuzz.hpp"
#include "qel_signer/chains/solana.hpp"

namespace solana = qel_signer::chains::solana;

FUZZ_TARGET {
    if (const auto length = solana::read_message(input)) {
        FUZZ_CHECK(*length <= size && solana::read_message(input.first(*length)) == *length);
    }
    const qel_signer::chains::SolanaSigner signer;
    const auto message = signer.extract_signable_bytes(input);
    const auto signed_tx = signer.encode_signed_transaction(input, {qel_signer::Bytes(64, 0xab), std::nullopt});
    if (solana::check_transaction(input)) {
        FUZZ_CHECK(message.has_value() && solana::read_message(*message) == message->size());
        FUZZ_CHECK(signed_tx.has_value() && signed_tx->size() == size &&
                   std::equal(signed_tx->begin() + 65, signed_tx->end(), input.begin() + 65));
        const auto inside = [&](qel_signer::ByteSpan part) {
            return part.data() >= input.data() && part.data() + part.size() <= input.data() + size;
        };
        const auto view = solana::view_message(input);
        for (const auto& key : view.keys) FUZZ_CHECK(key.size() == 32 && inside(key));
        for (const auto& ix : view.instructions) FUZZ_CHECK(inside(ix.accounts) && inside(ix.data));
        if (!view.keys.empty() && view.required_signatures > 0) {
            const auto slot = solana::signer_slot(input, view.keys[0]);
            FUZZ_CHECK(!slot || *slot == 0);
        }
    }
}
