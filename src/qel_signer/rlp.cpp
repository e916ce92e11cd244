#include "rlp.hpp"

#include <vector>

namespace qel_signer::rlp {
namespace {

constexpr std::string_view kEmptyTransaction = "empty transaction";
constexpr std::string_view kUnsupportedType = "unsupported transaction type (expected 0x01 or 0x02)";
constexpr std::string_view kEmptyInput = "empty input";
constexpr std::string_view kTruncatedLength = "truncated length";
constexpr std::string_view kTruncatedPayload = "truncated RLP payload";
constexpr std::string_view kNonCanonicalByte = "non-canonical single byte";
constexpr std::string_view kNonCanonicalLength = "non-canonical length";
constexpr std::string_view kNotAList = "expected an RLP list after the type byte";
constexpr std::string_view kTrailingBytes = "trailing bytes after the RLP list";
constexpr std::string_view kExpectedList = "expected an RLP list";

struct Header {
    std::size_t header_len;
    std::uint64_t payload_len;
};

// Reads only the item header; the payload itself is checked by the caller.
std::expected<Header, std::string_view> read_header(ByteSpan body) {
    const std::uint8_t first = body[0];
    if (first < 0x80) return Header{0, 1};
    if (first <= 0xb7) return Header{1, std::uint64_t{first} - 0x80u};
    if (first >= 0xc0 && first <= 0xf7) return Header{1, std::uint64_t{first} - 0xc0u};
    const std::size_t len_bytes = first <= 0xbf ? first - 0xb7u : first - 0xf7u;  // 1..8
    if (body.size() <= len_bytes) return std::unexpected(kTruncatedLength);
    std::uint64_t len = 0;
    for (std::size_t i = 1; i <= len_bytes; ++i) len = (len << 8) | body[i];
    return Header{1 + len_bytes, len};
}

struct Item {
    std::size_t header_len;
    std::size_t payload_len;
    bool is_list;
};

// The header at the start of `in` (not empty), held to the one encoding a
// conforming decoder accepts, with its payload present in `in`.
std::expected<Item, std::string_view> read_canonical_header(ByteSpan in) {
    const auto header = read_header(in);
    if (!header) return std::unexpected(header.error());
    if (header->payload_len > in.size() - header->header_len) return std::unexpected(kTruncatedPayload);
    if (header->header_len > 1 && (in[1] == 0 || header->payload_len < 56)) {
        return std::unexpected(kNonCanonicalLength);
    }
    if (in[0] == 0x81 && in[1] < 0x80) return std::unexpected(kNonCanonicalByte);
    return Item{header->header_len, static_cast<std::size_t>(header->payload_len), in[0] >= 0xc0};
}


}  // namespace

Bytes encode_length(std::uint64_t length, std::uint8_t offset) {
    if (length < 56) return Bytes{static_cast<std::uint8_t>(offset + length)};
    Bytes be;
    for (std::uint64_t v = length; v != 0; v >>= 8) be.insert(be.begin(), static_cast<std::uint8_t>(v & 0xff));
    be.insert(be.begin(), static_cast<std::uint8_t>(offset + 55 + be.size()));
    return be;
}

Bytes encode_integer(ByteSpan be) {
    std::size_t skip = 0;
    while (skip < be.size() && be[skip] == 0) ++skip;
    return encode_bytes(be.subspan(skip));
}

Bytes encode_bytes(ByteSpan data) {
    if (data.size() == 1 && data[0] < 0x80) return Bytes{data[0]};
    Bytes out = encode_length(data.size(), 0x80);
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

std::expected<Bytes, std::string_view> encode_signed_typed_tx(ByteSpan tx, std::uint8_t v,
                                                             std::span<const std::uint8_t, 32> r,
                                                             std::span<const std::uint8_t, 32> s) {
    if (tx.empty()) return std::unexpected(kEmptyTransaction);
    const std::uint8_t type = tx[0];
    if (type != 0x01 && type != 0x02) return std::unexpected(kUnsupportedType);
    const ByteSpan body = tx.subspan(1);
    if (body.empty()) return std::unexpected(kEmptyInput);

    const auto header = read_header(body);
    if (!header) return std::unexpected(header.error());
    // Compared without adding, so that a declared length near 2^64 cannot wrap.
    if (header->payload_len > body.size() - header->header_len) return std::unexpected(kTruncatedPayload);
    const ByteSpan fields = body.subspan(header->header_len, static_cast<std::size_t>(header->payload_len));

    Bytes sig;
    sig.reserve(1 + 2 * 33 + 1);
    const Bytes enc_v = v == 0 ? encode_bytes({}) : encode_bytes(ByteSpan(&v, 1));
    sig.insert(sig.end(), enc_v.begin(), enc_v.end());
    for (const ByteSpan scalar : {ByteSpan(r), ByteSpan(s)}) {
        const Bytes enc = encode_integer(scalar);
        sig.insert(sig.end(), enc.begin(), enc.end());
    }

    const Bytes list_header = encode_length(fields.size() + sig.size(), 0xc0);
    Bytes out;
    out.reserve(1 + list_header.size() + fields.size() + sig.size());
    out.push_back(type);
    out.insert(out.end(), list_header.begin(), list_header.end());
    out.insert(out.end(), fields.begin(), fields.end());
    out.insert(out.end(), sig.begin(), sig.end());
    return out;
}

std::expected<std::size_t, std::string_view> read_item(ByteSpan data) {
    if (data.empty()) return std::unexpected(kEmptyInput);
    // Where each open list ends, innermost last; an explicit stack, so that
    // deep nesting costs memory in proportion to the input, not call depth.
    std::vector<std::size_t> list_ends;
    std::size_t pos = 0;
    do {
        const std::size_t end = list_ends.empty() ? data.size() : list_ends.back();
        if (pos == end) {
            list_ends.pop_back();
            continue;
        }
        const auto item = read_canonical_header(data.subspan(pos, end - pos));
        if (!item) return std::unexpected(item.error());
        pos += item->header_len;
        if (item->is_list) {
            list_ends.push_back(pos + item->payload_len);
        } else {
            pos += item->payload_len;
        }
    } while (!list_ends.empty());
    return pos;
}

std::expected<void, std::string_view> check_unsigned_typed_tx(ByteSpan tx) {
    if (tx.empty()) return std::unexpected(kEmptyTransaction);
    if (tx[0] != 0x01 && tx[0] != 0x02) return std::unexpected(kUnsupportedType);
    const ByteSpan body = tx.subspan(1);
    if (body.empty()) return std::unexpected(kEmptyInput);
    if (body[0] < 0xc0) return std::unexpected(kNotAList);
    const auto length = read_item(body);
    if (!length) return std::unexpected(length.error());
    if (*length != body.size()) return std::unexpected(kTrailingBytes);
    return {};
}

std::expected<std::vector<Field>, std::string_view> list_items(ByteSpan list) {
    if (list.empty()) return std::unexpected(kEmptyInput);
    if (list[0] < 0xc0) return std::unexpected(kExpectedList);
    const auto length = read_item(list);
    if (!length) return std::unexpected(length.error());
    if (*length != list.size()) return std::unexpected(kTrailingBytes);
    // Canonical all through (read_item has walked it), so each item's own
    // header is all that is read again.
    std::vector<Field> items;
    for (std::size_t pos = read_canonical_header(list)->header_len; pos < list.size();) {
        const Item item = *read_canonical_header(list.subspan(pos));
        const std::size_t size = item.header_len + item.payload_len;
        items.push_back(item.is_list ? Field{list.subspan(pos, size), true}
                                     : Field{list.subspan(pos + item.header_len, item.payload_len), false});
        pos += size;
    }
    return items;
}

}  // namespace qel_signer::rlp
