// The RLP reader and the typed-transaction check: an item read from the
// front of the input reads the same alone; a transaction that passes the
// check still passes it once signed, so what is sent is what was checked.
#include <array>

#include "fuzz.hpp"
#include "qel_signer/rlp.hpp"

namespace rlp = qel_signer::rlp;

FUZZ_TARGET {
    if (const auto length = rlp::read_item(input)) {
        FUZZ_CHECK(*length <= size && rlp::read_item(input.first(*length)) == *length);
    }
    // r with leading zeros, s with its top bit set, v from the input.
    static constexpr std::array<std::uint8_t, 32> r = {0, 0, 7}, s = {0x80, 1};
    const auto v = static_cast<std::uint8_t>(size);
    const auto signed_tx = rlp::encode_signed_typed_tx(input, v, r, s);
    if (rlp::check_unsigned_typed_tx(input)) {
        FUZZ_CHECK(signed_tx.has_value() && rlp::check_unsigned_typed_tx(*signed_tx).has_value());
        FUZZ_CHECK(signed_tx->size() > size);
    }
}
