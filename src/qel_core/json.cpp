#include "json.hpp"

#include <cstdint>
#include <exception>
#include <vector>

namespace qel_core {

namespace {

using nlohmann::json;

// Length of the well-formed UTF-8 sequence at p (at most n bytes available),
// or 0 when the byte at p does not start one.
std::size_t utf8_sequence_length(const unsigned char* p, std::size_t n) {
    const unsigned char b = p[0];
    if (b < 0x80) return 1;
    std::size_t len = 0;
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
        len = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        len = 3;
        if (b == 0xE0) lo = 0xA0;  // overlong
        if (b == 0xED) hi = 0x9F;  // surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
        len = 4;
        if (b == 0xF0) lo = 0x90;  // overlong
        if (b == 0xF4) hi = 0x8F;  // above U+10FFFF
    } else {
        return 0;
    }
    if (n < len) return 0;
    if (p[1] < lo || p[1] > hi) return 0;
    for (std::size_t i = 2; i < len; ++i) {
        if (p[i] < 0x80 || p[i] > 0xBF) return 0;
    }
    return len;
}

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

void write_string(std::string_view s, std::string& out) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    std::size_t i = 0;
    while (i < s.size()) {
        const unsigned char c = p[i];
        if (c >= 0x80) {
            const std::size_t len = utf8_sequence_length(p + i, s.size() - i);
            if (len == 0) {
                out += kReplacement;
                ++i;
            } else {
                out.append(s.data() + i, len);
                i += len;
            }
            continue;
        }
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\f': out += "\\f"; break;
            case '\r': out += "\\r"; break;
            default:
                if (c < 0x20) {
                    out += "\\u00";
                    out += kHex[c >> 4];
                    out += kHex[c & 0x0F];
                } else {
                    out += static_cast<char>(c);
                }
        }
        ++i;
    }
    out += '"';
}

template <typename J>
void write_value(const J& v, std::size_t indent, std::string& out) {
    switch (v.type()) {
        case nlohmann::detail::value_t::null: out += "null"; return;
        case nlohmann::detail::value_t::boolean: out += v.template get<bool>() ? "true" : "false"; return;
        case nlohmann::detail::value_t::number_integer:
            out += std::to_string(v.template get<std::int64_t>());
            return;
        case nlohmann::detail::value_t::number_unsigned:
            out += std::to_string(v.template get<std::uint64_t>());
            return;
        case nlohmann::detail::value_t::string: write_string(v.template get_ref<const std::string&>(), out); return;
        case nlohmann::detail::value_t::array: {
            if (v.empty()) {
                out += "[]";
                return;
            }
            out += "[\n";
            bool first = true;
            for (const auto& element : v) {
                if (!first) out += ",\n";
                first = false;
                out.append(indent + 2, ' ');
                write_value(element, indent + 2, out);
            }
            out += '\n';
            out.append(indent, ' ');
            out += ']';
            return;
        }
        case nlohmann::detail::value_t::object: {
            if (v.empty()) {
                out += "{}";
                return;
            }
            out += "{\n";
            bool first = true;
            for (auto it = v.begin(); it != v.end(); ++it) {
                if (!first) out += ",\n";
                first = false;
                out.append(indent + 2, ' ');
                write_string(it.key(), out);
                out += ": ";
                write_value(it.value(), indent + 2, out);
            }
            out += '\n';
            out.append(indent, ' ');
            out += '}';
            return;
        }
        // Floats (shortest round-trip form, non-finite as null) and the
        // kinds that never come out of a JSON text: the library's own
        // writer, which does not throw for them.
        case nlohmann::detail::value_t::number_float:
        case nlohmann::detail::value_t::binary:
        case nlohmann::detail::value_t::discarded: out += v.dump(); return;
    }
}

// Builds the document while rejecting repeated member names and runaway
// nesting; the library's own DOM parser silently keeps the last duplicate.
class StrictBuilder : public nlohmann::json_sax<json> {
public:
    bool null() override { return add(json(nullptr)); }
    bool boolean(bool val) override { return add(json(val)); }
    bool number_integer(number_integer_t val) override { return add(json(val)); }
    bool number_unsigned(number_unsigned_t val) override { return add(json(val)); }
    bool number_float(number_float_t val, const string_t& /*s*/) override { return add(json(val)); }
    bool string(string_t& val) override { return add(json(std::move(val))); }
    bool binary(binary_t& val) override { return add(json::binary(std::move(val))); }

    bool start_object(std::size_t /*elements*/) override { return open(json::object()); }
    bool start_array(std::size_t /*elements*/) override { return open(json::array()); }
    bool end_object() override { return close(); }
    bool end_array() override { return close(); }

    bool key(string_t& val) override {
        if (stack_.back()->contains(val)) {
            error_ = "duplicate field `" + val + "`";
            return false;
        }
        pending_key_ = std::move(val);
        return true;
    }

    bool parse_error(std::size_t /*position*/, const std::string& /*last_token*/,
                     const nlohmann::detail::exception& ex) override {
        std::string_view what = ex.what();
        // Drop the "[json.exception.parse_error.101] " tag: it means nothing
        // to a user and the rest names the problem and its position.
        if (!what.empty() && what.front() == '[') {
            const auto end = what.find("] ");
            if (end != std::string_view::npos) what.remove_prefix(end + 2);
        }
        error_ = std::string(what);
        return false;
    }

    json& root() { return root_; }
    const std::string& error() const { return error_; }

private:
    json* add(json&& value) {
        if (stack_.empty()) {
            root_ = std::move(value);
            return &root_;
        }
        json& parent = *stack_.back();
        if (parent.is_array()) {
            parent.push_back(std::move(value));
            return &parent.back();
        }
        json& slot = parent[pending_key_];
        slot = std::move(value);
        return &slot;
    }

    bool open(json&& container) {
        if (stack_.size() >= kMaxJsonDepth) {
            error_ = "nesting deeper than " + std::to_string(kMaxJsonDepth) + " levels";
            return false;
        }
        stack_.push_back(add(std::move(container)));
        return true;
    }

    bool close() {
        stack_.pop_back();
        return true;
    }

    json root_;
    std::vector<json*> stack_;
    std::string pending_key_;
    std::string error_;
};

}  // namespace

std::string sanitize_utf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t len = utf8_sequence_length(p + i, text.size() - i);
        if (len == 0) {
            out += kReplacement;
            ++i;
        } else {
            out.append(text.data() + i, len);
            i += len;
        }
    }
    return out;
}

std::expected<nlohmann::json, std::string> parse_json_strict(std::string_view text) {
    try {
        StrictBuilder builder;
        const bool ok = json::sax_parse(text.begin(), text.end(), &builder, nlohmann::json::input_format_t::json,
                                        /*strict=*/true);
        if (!ok) {
            // The library quotes the offending input in its messages, which
            // may be a fragment of an ill-formed UTF-8 sequence.
            return std::unexpected(sanitize_utf8(builder.error().empty() ? "invalid JSON" : builder.error()));
        }
        return std::move(builder.root());
    } catch (const std::exception& e) {
        return std::unexpected(sanitize_utf8(e.what()));
    }
}

std::string dump_pretty(const nlohmann::json& value) {
    std::string out;
    write_value(value, 0, out);
    return out;
}

std::string dump_pretty(const nlohmann::ordered_json& value) {
    std::string out;
    write_value(value, 0, out);
    return out;
}

}  // namespace qel_core
