#pragma once

// Protocol Buffers wire format, read strictly and written, for the signed
// forms of chains that are built from it (Cosmos, Tron). A node parses what
// it is sent and serializes it again before it hashes or verifies it, so
// only the one encoding a serializer writes is accepted: canonical varints,
// fields in ascending order, proto3 default values left out.

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "bytes.hpp"

namespace qel_signer::protobuf {

enum class Wire : std::uint8_t { Varint = 0, Fixed64 = 1, Bytes = 2, Fixed32 = 5 };

struct Field {
    std::uint32_t number;
    Wire wire;
    std::uint64_t value;  // a varint or fixed field's value
    ByteSpan bytes;       // a length-delimited field's contents
};

// Most fields one message may hold.
inline constexpr std::size_t kMaxFields = 4096;

// The fields of one message, in order. Fails with "truncated varint",
// "non-canonical varint", "varint longer than 64 bits", "invalid field
// number", "unsupported wire type N (field M)", "truncated field M",
// "fields out of order (M after N)" or "more than 4096 fields".
[[nodiscard]] std::expected<std::vector<Field>, std::string> read_fields(ByteSpan message);

struct Rule {
    std::uint32_t number;
    Wire wire;
    bool repeated = false;
};
// Holds read fields to a message's schema: only the listed numbers, each
// with its wire type, once unless repeated, and no singular field with its
// default value (zero, or empty), which a serializer would leave out. Fails
// with "unknown field N", "field N: wrong wire type", "field N: more than
// once" or "field N: default value written out".
[[nodiscard]] std::expected<void, std::string> check_fields(std::span<const Field> fields,
                                                            std::span<const Rule> rules);

// read_fields then check_fields, a failure's text prefixed with "<what>: ".
[[nodiscard]] std::expected<std::vector<Field>, std::string> read_message(ByteSpan message,
                                                                         std::span<const Rule> rules,
                                                                         std::string_view what);

// The field `number`, or nullptr.
[[nodiscard]] const Field* find(std::span<const Field> fields, std::uint32_t number);

void put_varint(Bytes& out, std::uint64_t value);
// A length-delimited field: tag, length, bytes.
void put_bytes(Bytes& out, std::uint32_t number, ByteSpan bytes);

}  // namespace qel_signer::protobuf
