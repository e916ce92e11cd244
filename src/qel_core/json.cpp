#include "json.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <vector>

#include "utf8.hpp"

namespace qel_core {

namespace {

using nlohmann::json;

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

void write_string(std::string_view s, std::string& out) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    std::size_t i = 0;
    while (i < s.size()) {
        const unsigned char c = p[i];
        if (c >= 0x80) {
            const std::size_t len = utf8_sequence_length(s.substr(i));
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

// A strict reader of one JSON document (RFC 8259) into a nlohmann value. It is
// written out here rather than taken from the library's SAX interface because
// listing a vault parses thousands of files, and the library's lexer, which
// records every character for its messages, made that several times slower.
// On top of the grammar it rejects a member name repeated within one object,
// nesting deeper than kMaxJsonDepth, and strings that are not UTF-8.
class Reader {
public:
    explicit Reader(std::string_view text)
        : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()) {}

    bool document(json& out) {
        skip_space();
        if (!value(out, 0)) return false;
        skip_space();
        if (p_ != end_) return fail("trailing characters after the JSON value");
        return true;
    }

    const std::string& error() const { return error_; }

private:
    bool fail(std::string_view what) {
        std::size_t line = 1;
        std::size_t column = 1;
        for (const char* q = begin_; q < p_ && q < end_; ++q) {
            if (*q == '\n') {
                ++line;
                column = 1;
            } else {
                ++column;
            }
        }
        error_ = std::string(what) + " at line " + std::to_string(line) + " column " + std::to_string(column);
        return false;
    }

    void skip_space() {
        while (p_ != end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
    }

    bool literal(std::string_view word) {
        if (static_cast<std::size_t>(end_ - p_) < word.size() || std::string_view(p_, word.size()) != word) {
            return fail("invalid literal");
        }
        p_ += word.size();
        return true;
    }

    bool value(json& out, std::size_t depth) {
        if (p_ == end_) return fail("unexpected end of input");
        switch (*p_) {
            case '{': return object(out, depth + 1);
            case '[': return array(out, depth + 1);
            case '"': {
                std::string s;
                if (!string(s)) return false;
                out = std::move(s);
                return true;
            }
            case 't':
                out = true;
                return literal("true");
            case 'f':
                out = false;
                return literal("false");
            case 'n':
                out = nullptr;
                return literal("null");
            default: return number(out);
        }
    }

    bool object(json& out, std::size_t depth) {
        if (depth > kMaxJsonDepth) {
            error_ = "nesting deeper than " + std::to_string(kMaxJsonDepth) + " levels";
            return false;
        }
        ++p_;
        out = json::object();
        auto& members = out.get_ref<json::object_t&>();
        skip_space();
        if (p_ != end_ && *p_ == '}') {
            ++p_;
            return true;
        }
        for (;;) {
            if (p_ == end_ || *p_ != '"') return fail("expected a member name");
            std::string name;
            if (!string(name)) return false;
            skip_space();
            if (p_ == end_ || *p_ != ':') return fail("expected ':'");
            ++p_;
            skip_space();
            auto [slot, inserted] = members.try_emplace(std::move(name));
            if (!inserted) {
                error_ = "duplicate field `" + slot->first + "`";
                return false;
            }
            if (!value(slot->second, depth)) return false;
            skip_space();
            if (p_ == end_) return fail("unexpected end of input");
            if (*p_ == '}') {
                ++p_;
                return true;
            }
            if (*p_ != ',') return fail("expected ',' or '}'");
            ++p_;
            skip_space();
        }
    }

    bool array(json& out, std::size_t depth) {
        if (depth > kMaxJsonDepth) {
            error_ = "nesting deeper than " + std::to_string(kMaxJsonDepth) + " levels";
            return false;
        }
        ++p_;
        out = json::array();
        auto& elements = out.get_ref<json::array_t&>();
        skip_space();
        if (p_ != end_ && *p_ == ']') {
            ++p_;
            return true;
        }
        for (;;) {
            elements.emplace_back();
            if (!value(elements.back(), depth)) return false;
            skip_space();
            if (p_ == end_) return fail("unexpected end of input");
            if (*p_ == ']') {
                ++p_;
                return true;
            }
            if (*p_ != ',') return fail("expected ',' or ']'");
            ++p_;
            skip_space();
        }
    }

    static int hex_digit(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }

    bool hex4(std::uint32_t& out) {
        if (end_ - p_ < 4) return fail("truncated \\u escape");
        out = 0;
        for (int i = 0; i < 4; ++i) {
            const int d = hex_digit(p_[i]);
            if (d < 0) return fail("invalid \\u escape");
            out = out * 16 + static_cast<std::uint32_t>(d);
        }
        p_ += 4;
        return true;
    }

    static void append_utf8(std::uint32_t cp, std::string& out) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    // At an opening quote; leaves p_ after the closing one.
    bool string(std::string& out) {
        ++p_;
        for (;;) {
            // Copy the longest plain run in one go.
            const char* run = p_;
            while (p_ != end_) {
                const auto c = static_cast<unsigned char>(*p_);
                if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) break;
                ++p_;
            }
            out.append(run, static_cast<std::size_t>(p_ - run));
            if (p_ == end_) return fail("unterminated string");
            const auto c = static_cast<unsigned char>(*p_);
            if (c == '"') {
                ++p_;
                return true;
            }
            if (c < 0x20) return fail("control character in string");
            if (c >= 0x80) {
                const std::size_t len = utf8_sequence_length(std::string_view(p_, static_cast<std::size_t>(end_ - p_)));
                if (len == 0) return fail("invalid UTF-8 in string");
                out.append(p_, len);
                p_ += len;
                continue;
            }
            ++p_;  // backslash
            if (p_ == end_) return fail("unterminated string");
            const char e = *p_++;
            switch (e) {
                case '"': out += '"'; break;
                case '\\': out += '\\'; break;
                case '/': out += '/'; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'u': {
                    std::uint32_t cp = 0;
                    if (!hex4(cp)) return false;
                    if (cp >= 0xDC00 && cp <= 0xDFFF) return fail("lone low surrogate in \\u escape");
                    if (cp >= 0xD800 && cp <= 0xDBFF) {
                        std::uint32_t low = 0;
                        if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') {
                            return fail("high surrogate not followed by a low one");
                        }
                        p_ += 2;
                        if (!hex4(low)) return false;
                        if (low < 0xDC00 || low > 0xDFFF) return fail("high surrogate not followed by a low one");
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    }
                    append_utf8(cp, out);
                    break;
                }
                default: --p_; return fail("invalid escape in string");
            }
        }
    }

    bool number(json& out) {
        const char* start = p_;
        const auto digit = [this] { return p_ != end_ && *p_ >= '0' && *p_ <= '9'; };
        if (p_ != end_ && *p_ == '-') ++p_;
        if (!digit()) return fail("invalid value");
        if (*p_ == '0') {
            ++p_;
        } else {
            while (digit()) ++p_;
        }
        bool integral = true;
        if (p_ != end_ && *p_ == '.') {
            integral = false;
            ++p_;
            if (!digit()) return fail("invalid number");
            while (digit()) ++p_;
        }
        if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
            integral = false;
            ++p_;
            if (p_ != end_ && (*p_ == '+' || *p_ == '-')) ++p_;
            if (!digit()) return fail("invalid number");
            while (digit()) ++p_;
        }
        if (integral) {
            if (*start == '-') {
                std::int64_t v = 0;
                if (std::from_chars(start, p_, v).ec == std::errc{}) {
                    out = v;
                    return true;
                }
            } else {
                std::uint64_t v = 0;
                if (std::from_chars(start, p_, v).ec == std::errc{}) {
                    out = v;
                    return true;
                }
            }
            // Integers beyond 64 bits are kept as floating point.
        }
        double d = 0;
        const auto [ptr, ec] = std::from_chars(start, p_, d);
        if (ec == std::errc::result_out_of_range) {
            // from_chars leaves the value alone then; tell overflow, which has
            // no finite value, from underflow, which is as good as zero.
            d = std::strtod(std::string(start, p_).c_str(), nullptr);
            if (std::isinf(d)) return fail("number out of range");
        } else if (ec != std::errc{}) {
            return fail("invalid number");
        }
        out = d;
        return true;
    }

    const char* begin_;
    const char* p_;
    const char* end_;
    std::string error_;
};

}  // namespace

std::expected<nlohmann::json, std::string> parse_json_strict(std::string_view text) {
    try {
        Reader reader(text);
        json doc;
        if (!reader.document(doc)) return std::unexpected(utf8_lossy(reader.error()));
        return doc;
    } catch (const std::exception& e) {
        return std::unexpected(utf8_lossy(e.what()));
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
