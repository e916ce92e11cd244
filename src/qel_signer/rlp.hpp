#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string_view>
#include <vector>

#include "bytes.hpp"

namespace qel_signer::rlp {

// RLP header for a payload of `length` bytes; offset 0x80 for strings, 0xC0 for lists.
[[nodiscard]] Bytes encode_length(std::uint64_t length, std::uint8_t offset);
// RLP encoding of one byte string.
[[nodiscard]] Bytes encode_bytes(ByteSpan data);
// RLP encoding of a big-endian unsigned integer: its bytes without leading zeros.
[[nodiscard]] Bytes encode_integer(ByteSpan be);
// Appends y-parity v, r and s to the field list of an unsigned EIP-2718
// typed transaction (type 0x01 or 0x02). Fails with one of the static texts
// "empty transaction", "unsupported transaction type (expected 0x01 or 0x02)",
// "empty input", "truncated length", "truncated RLP payload".
[[nodiscard]] std::expected<Bytes, std::string_view> encode_signed_typed_tx(ByteSpan tx, std::uint8_t v,
                                                                           std::span<const std::uint8_t, 32> r,
                                                                           std::span<const std::uint8_t, 32> s);

// ---- reading ----
// Both readers take hostile bytes: they never read outside the span, never
// recurse, and fail with a static text naming the first fault they meet.

// The encoded length (header and payload) of the one RLP item at the start of
// `data`, which may be followed by other bytes. The item and every item nested
// in it must be canonically encoded: a byte below 0x80 stands alone rather than
// as a one-byte string, lengths below 56 use the short header, a long length has
// no leading zero byte, and the items of each list fill it exactly. Fails with
// "empty input", "truncated length", "truncated RLP payload",
// "non-canonical single byte" or "non-canonical length".
[[nodiscard]] std::expected<std::size_t, std::string_view> read_item(ByteSpan data);

// Checks that `tx` is an unsigned typed transaction whose signed form, as
// encode_signed_typed_tx writes it, carries exactly the fields that were hashed:
// the type byte 0x01 or 0x02, then one canonically encoded RLP list, and nothing
// after it. Fails with "empty transaction", "unsupported transaction type
// (expected 0x01 or 0x02)", "empty input", "expected an RLP list after the type
// byte", "trailing bytes after the RLP list", or a text of read_item.
[[nodiscard]] std::expected<void, std::string_view> check_unsigned_typed_tx(ByteSpan tx);

// One item of a list read by list_items: a string's bytes, or a list's whole
// encoding (header included, ready for list_items again).
struct Field {
    ByteSpan bytes;
    bool is_list;
};
// The items of `list`, which must be exactly one canonical RLP list (fails as
// read_item does, or with "expected an RLP list" / "trailing bytes after the
// RLP list").
[[nodiscard]] std::expected<std::vector<Field>, std::string_view> list_items(ByteSpan list);

}  // namespace qel_signer::rlp
