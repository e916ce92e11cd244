// EIP-712 typed data as a caller passes it: any text is hashed or refused
// with a place and a reason (valid UTF-8, free of control characters, of
// bounded length), the same text always gives the same hashes, a domain
// chainId comes out as a plain decimal number, and the reader that keeps
// integers beyond 64 bits accepts exactly what the plain reader accepts.
#include <algorithm>

#include "fuzz.hpp"
#include "qel_core/json.hpp"
#include "qel_core/utf8.hpp"
#include "qel_signer/chains/evm_typed_data.hpp"

FUZZ_TARGET {
    qel_core::JsonParser plain(qel_core::kMaxJsonDepth);
    qel_core::JsonParser exact(qel_core::kMaxJsonDepth);
    FUZZ_CHECK(plain.parse(text).has_value() == exact.parse_keeping_big_integers(text).has_value());

    const auto first = qel_signer::chains::evm::hash_typed_data(text);
    if (!first) {
        const std::string& error = first.error();
        FUZZ_CHECK(!error.empty() && error.size() <= 16 * 1024 && qel_core::is_valid_utf8(error));
        FUZZ_CHECK(std::ranges::none_of(error, [](unsigned char c) { return c < 0x20 || c == 0x7F; }));
        return;
    }
    const auto again = qel_signer::chains::evm::hash_typed_data(text);
    FUZZ_CHECK(again && again->digest == first->digest && again->domain_separator == first->domain_separator);
    if (const auto& id = first->chain_id) {
        FUZZ_CHECK(!id->empty() && std::ranges::all_of(*id, [](char c) { return c >= '0' && c <= '9'; }));
        FUZZ_CHECK(*id == "0" || id->front() != '0');
    }
}
