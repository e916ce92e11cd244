// The EVM transaction reader: what it accepts signs into a transaction that
// reads back as one RLP item with the same fields before the signature.
#include "fuzz.hpp"
#include "qel_signer/chains/evm_transaction.hpp"

namespace evm = qel_signer::chains::evm;

FUZZ_TARGET {
    const auto tx = evm::read_transaction(input);
    if (!fuzz::explained(tx)) return;
    static const qel_signer::Bytes key(32, 0x11);
    const auto signed_tx = evm::sign_transaction(key, input, *tx);
    FUZZ_CHECK(signed_tx.has_value());
    const qel_signer::ByteSpan wire(signed_tx->wire);
    const auto fields = qel_signer::rlp::list_items(tx->type == 0 ? wire : wire.subspan(1));
    FUZZ_CHECK(fields.has_value() && fields->size() == (tx->type == 0 ? 9 : tx->fields.size() + 3));
}
