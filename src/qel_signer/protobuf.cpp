#include "protobuf.hpp"

#include <algorithm>

namespace qel_signer::protobuf {

namespace {

using Fault = std::unexpected<std::string>;

std::expected<std::uint64_t, std::string> read_varint(ByteSpan in, std::size_t& pos) {
    std::uint64_t value = 0;
    for (unsigned i = 0;; ++i) {
        if (pos >= in.size()) return Fault("truncated varint");
        const std::uint8_t b = in[pos++];
        if (i == 9 && b > 1) return Fault("varint longer than 64 bits");
        value |= std::uint64_t{b & 0x7fu} << (7 * i);
        if ((b & 0x80) == 0) {
            if (i > 0 && b == 0) return Fault("non-canonical varint");
            return value;
        }
    }
}

}  // namespace

std::expected<std::vector<Field>, std::string> read_fields(ByteSpan message) {
    std::vector<Field> fields;
    std::size_t pos = 0;
    while (pos < message.size()) {
        if (fields.size() == kMaxFields) return Fault("more than " + std::to_string(kMaxFields) + " fields");
        auto tag = read_varint(message, pos);
        if (!tag) return Fault(tag.error());
        const std::uint64_t number = *tag >> 3;
        if (number == 0 || number > 0x1fffffff) return Fault("invalid field number");
        Field f{static_cast<std::uint32_t>(number), static_cast<Wire>(*tag & 7), 0, {}};
        // Named only when a text needs it: the reader runs once per field.
        const auto name = [number] { return std::to_string(number); };
        if (!fields.empty() && fields.back().number > f.number) {
            return Fault("fields out of order (" + name() + " after " + std::to_string(fields.back().number) + ")");
        }
        switch (f.wire) {
            case Wire::Varint: {
                auto v = read_varint(message, pos);
                if (!v) return Fault(v.error());
                f.value = *v;
                break;
            }
            case Wire::Fixed64:
            case Wire::Fixed32: {
                const std::size_t width = f.wire == Wire::Fixed64 ? 8 : 4;
                if (message.size() - pos < width) return Fault("truncated field " + name());
                for (std::size_t i = 0; i < width; ++i) f.value |= std::uint64_t{message[pos + i]} << (8 * i);
                pos += width;
                break;
            }
            case Wire::Bytes: {
                auto length = read_varint(message, pos);
                if (!length) return Fault(length.error());
                if (*length > message.size() - pos) return Fault("truncated field " + name());
                f.bytes = message.subspan(pos, static_cast<std::size_t>(*length));
                pos += static_cast<std::size_t>(*length);
                break;
            }
            default:
                return Fault("unsupported wire type " + std::to_string(*tag & 7) + " (field " + name() + ")");
        }
        fields.push_back(f);
    }
    return fields;
}

std::expected<void, std::string> check_fields(std::span<const Field> fields, std::span<const Rule> rules) {
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const Field& f = fields[i];
        const auto name = [&f] { return std::to_string(f.number); };
        const auto rule = std::find_if(rules.begin(), rules.end(), [&f](const Rule& r) { return r.number == f.number; });
        if (rule == rules.end()) return Fault("unknown field " + name());
        if (rule->wire != f.wire) return Fault("field " + name() + ": wrong wire type");
        if (!rule->repeated) {
            if (i > 0 && fields[i - 1].number == f.number) return Fault("field " + name() + ": more than once");
            const bool is_default = f.wire == Wire::Bytes ? f.bytes.empty() : f.value == 0;
            if (is_default) return Fault("field " + name() + ": default value written out");
        }
    }
    return {};
}

std::expected<std::vector<Field>, std::string> read_message(ByteSpan message, std::span<const Rule> rules,
                                                            std::string_view what) {
    auto fields = read_fields(message);
    if (!fields) return std::unexpected(std::string(what) + ": " + fields.error());
    if (auto ok = check_fields(*fields, rules); !ok) return std::unexpected(std::string(what) + ": " + ok.error());
    return fields;
}

const Field* find(std::span<const Field> fields, std::uint32_t number) {
    const auto it = std::find_if(fields.begin(), fields.end(), [number](const Field& f) { return f.number == number; });
    return it == fields.end() ? nullptr : &*it;
}

void put_varint(Bytes& out, std::uint64_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<std::uint8_t>(value | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<std::uint8_t>(value));
}

void put_bytes(Bytes& out, std::uint32_t number, ByteSpan bytes) {
    put_varint(out, (std::uint64_t{number} << 3) | 2);
    put_varint(out, bytes.size());
    out.insert(out.end(), bytes.begin(), bytes.end());
}

}  // namespace qel_signer::protobuf
