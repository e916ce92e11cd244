#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string_view>

#include "bytes.hpp"

namespace qel_signer::rlp {

// RLP header for a payload of `length` bytes; offset 0x80 for strings, 0xC0 for lists.
[[nodiscard]] Bytes encode_length(std::uint64_t length, std::uint8_t offset);
// RLP encoding of one byte string.
[[nodiscard]] Bytes encode_bytes(ByteSpan data);
// Appends y-parity v, r and s to the field list of an unsigned EIP-2718
// typed transaction (type 0x01 or 0x02). Fails with one of the static texts
// "empty transaction", "unsupported transaction type (expected 0x01 or 0x02)",
// "empty input", "truncated length", "truncated RLP payload".
[[nodiscard]] std::expected<Bytes, std::string_view> encode_signed_typed_tx(ByteSpan tx, std::uint8_t v,
                                                                           std::span<const std::uint8_t, 32> r,
                                                                           std::span<const std::uint8_t, 32> s);

}  // namespace qel_signer::rlp
