// EIP-712 typed data as a caller passes it: any text is hashed or refused
// with a place and a reason, the same text always gives the same hashes, and
// a domain chainId comes out as a plain decimal number.
#include <algorithm>

#include "fuzz.hpp"
#include "qel_signer/chains/evm_typed_data.hpp"

FUZZ_TARGET {
    const std::string_view text = fuzz::text(data, size);
    const auto first = qel_signer::chains::evm::hash_typed_data(text);
    if (!first) {
        FUZZ_CHECK(!first.error().empty());
        return 0;
    }
    const auto again = qel_signer::chains::evm::hash_typed_data(text);
    FUZZ_CHECK(again && again->digest == first->digest && again->domain_separator == first->domain_separator);
    if (const auto& id = first->chain_id) {
        FUZZ_CHECK(!id->empty() && std::ranges::all_of(*id, [](char c) { return c >= '0' && c <= '9'; }));
        FUZZ_CHECK(*id == "0" || id->front() != '0');
    }
    return 0;
}
