#include "json.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>

#include "shown.hpp"
#include "utf8.hpp"

namespace qel_core {

namespace {

namespace dom = simdjson::dom;

static_assert(kJsonPadding >= simdjson::SIMDJSON_PADDING);
// wipe_parser_strings() relies on how this major version sizes its string buffer.
static_assert(simdjson::SIMDJSON_VERSION_MAJOR == 3);

// A first allocation that holds a wallet file, so that a listing allocates once.
constexpr std::size_t kInitialCapacity = 16 * 1024;
// Objects with more members than this are checked for repeated names by
// sorting them instead of comparing every pair.
constexpr std::size_t kPairwiseNames = 16;

// The container of an element whose type is known. (Taken by value: the
// result object that get_array() returns dies with the full expression.)
dom::array array_of(dom::element value) noexcept {
    return value.get_array().value_unsafe();
}
dom::object object_of(dom::element value) noexcept {
    return value.get_object().value_unsafe();
}

// A name that occurs twice in [begin, end), which may be reordered.
std::optional<std::string_view> repeated_name(std::span<std::string_view>::iterator begin,
                                              std::span<std::string_view>::iterator end) {
    if (static_cast<std::size_t>(end - begin) <= kPairwiseNames) {
        for (auto a = begin; a != end; ++a) {
            if (std::find(a + 1, end, *a) != end) return *a;
        }
        return std::nullopt;
    }
    std::sort(begin, end);
    if (const auto at = std::adjacent_find(begin, end); at != end) return *at;
    return std::nullopt;
}


// A byte that can occur in a JSON number token.
bool is_number_byte(char c) noexcept {
    return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
}

// An integer token of a JSON text that 64 bits cannot hold, which simdjson
// refuses: its place, and how many string tokens (names included) come
// before it.
struct BigInteger {
    std::size_t start = 0;
    std::size_t end = 0;
    std::size_t strings_before = 0;
};

// The integers in a JSON text that 64 bits cannot hold: number tokens
// outside strings that are JSON integers (no fraction, exponent or leading
// zero) out of range for int64 (negative) or uint64.
std::vector<BigInteger> big_integers(std::string_view text) {
    std::vector<BigInteger> found;
    std::size_t strings = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '"') {
            for (++i; i < text.size() && text[i] != '"'; ++i) {
                if (text[i] == '\\') ++i;
            }
            ++i;
            ++strings;
            continue;
        }
        if (c != '-' && (c < '0' || c > '9')) {
            ++i;
            continue;
        }
        const std::size_t start = i;
        while (i < text.size() && is_number_byte(text[i])) ++i;
        const std::string_view token = text.substr(start, i - start);
        const std::size_t digits = token.front() == '-' ? 1 : 0;
        // Digits only, without a leading zero: "0" and "-0" are no big integer.
        if (digits == token.size() || token[digits] == '0' ||
            token.find_first_not_of("0123456789", digits) != std::string_view::npos) {
            continue;
        }
        std::errc ec{};
        if (digits == 1) {
            std::int64_t v = 0;
            ec = std::from_chars(token.data(), token.data() + token.size(), v).ec;
        } else {
            std::uint64_t v = 0;
            ec = std::from_chars(token.data(), token.data() + token.size(), v).ec;
        }
        if (ec == std::errc::result_out_of_range) found.push_back({start, i, strings});
    }
    return found;
}

// The text with `before` and `after` around each integer in `found`.
void mark_big_integers(std::string_view text, const std::vector<BigInteger>& found, std::string_view before,
                       std::string_view after, PaddedText& out) {
    char* data = out.reserve(text.size() + (before.size() + after.size()) * found.size());
    std::size_t from = 0;
    std::size_t at = 0;
    const auto put = [&](std::string_view part) {
        std::char_traits<char>::copy(data + at, part.data(), part.size());
        at += part.size();
    };
    for (const BigInteger& big : found) {
        put(text.substr(from, big.start - from));
        put(before);
        put(text.substr(big.start, big.end - big.start));
        put(after);
        from = big.end;
    }
    put(text.substr(from));
    out.set_size(at);
}

// Finds, among the strings of a document (member names included) in
// document order, those that were the integers `wanted` of its text.
struct BigIntegerStrings {
    const std::vector<BigInteger>& wanted;
    std::vector<const char*>& found;
    std::size_t count = 0;
    bool named = false;  // one was a member name: the text itself was no JSON

    bool is_next() { return found.size() < wanted.size() && count++ == wanted[found.size()].strings_before + found.size(); }

    void walk(dom::element value) {
        switch (value.type()) {
            case dom::element_type::STRING:
                if (is_next()) found.push_back(value.get_string().value_unsafe().data());
                return;
            case dom::element_type::ARRAY:
                for (const dom::element item : array_of(value)) walk(item);
                return;
            case dom::element_type::OBJECT:
                for (const dom::key_value_pair member : object_of(value)) {
                    if (is_next()) named = true;
                    walk(member.value);
                }
                return;
            case dom::element_type::INT64:
            case dom::element_type::UINT64:
            case dom::element_type::DOUBLE:
            case dom::element_type::BOOL:
            case dom::element_type::NULL_VALUE: return;
        }
    }
};

// The text with an exponent ("e0") after each integer that 64 bits cannot
// hold, which makes it a floating-point number of the same value; false when
// there is none. Only a text simdjson refused goes through here, and the
// copy is parsed by simdjson again: an exponent after the digits of a valid
// integer makes a valid number, after anything else an invalid one.
bool widen_big_integers(std::string_view text, PaddedText& out) {
    const std::vector<BigInteger> found = big_integers(text);
    if (found.empty()) return false;
    mark_big_integers(text, found, "", "e0", out);
    return true;
}

}  // namespace

JsonParser::JsonParser(std::size_t max_depth) : max_depth_(max_depth) {}

JsonParser::JsonParser(std::size_t max_depth, Wipe wipe) : max_depth_(max_depth), wipe_(wipe) {}

JsonParser::~JsonParser() {
    if (wipe_ == nullptr) return;
    for (const PaddedText* text : {&copy_, &widened_}) {
        if (text->allocated() != 0) wipe_(const_cast<char*>(text->data()), text->allocated());
    }
    // The parser keeps an unescaped copy of every string in its document's
    // string buffer, which this version sizes 5/3 of the capacity plus the
    // padding, rounded up (see document::allocate).
    if (parser_.doc.string_buf && parser_.doc.capacity() != 0) {
        wipe_(parser_.doc.string_buf.get(), 5 * parser_.doc.capacity() / 3 + simdjson::SIMDJSON_PADDING);
    }
}

std::expected<dom::element, std::string> JsonParser::parse(const PaddedText& text) {
    return parse_padded(text.text(), true);
}

std::expected<dom::element, std::string> JsonParser::parse(std::string_view text) {
    copy_.assign(text);
    return parse_padded(copy_.text(), true);
}

std::expected<dom::element, std::string> JsonParser::parse_unchecked(const PaddedText& text) {
    return parse_padded(text.text(), false);
}

std::expected<dom::element, std::string> JsonParser::parse_padded(std::string_view text, bool checked) {
    try {
        // simdjson counts an object one level deeper than an array; its own
        // limit is set one above ours and ours is checked exactly below.
        if (parser_.capacity() == 0) {
            if (const auto error = parser_.allocate(std::max(text.size(), kInitialCapacity), max_depth_ + 1)) {
                return std::unexpected(simdjson::error_message(error));
            }
        }
        dom::element root;
        auto error = parser_.parse(text.data(), text.size(), false).get(root);
        // JSON allows integers of any size, and free-form members (metadata)
        // may hold them: those beyond 64 bits are read as floating point.
        if (error == simdjson::NUMBER_ERROR && widen_big_integers(text, widened_)) {
            error = parser_.parse(widened_.data(), widened_.size(), false).get(root);
        }
        if (error) {
            if (error == simdjson::DEPTH_ERROR) return std::unexpected(too_deep_text(max_depth_));
            if (wipe_ != nullptr) return std::unexpected(std::string("not valid JSON"));
            return std::unexpected(std::string(simdjson::error_message(error)));
        }
        names_.clear();
        if (checked) {
            if (auto ok = check(root, 1); !ok) return std::unexpected(ok.error());
        }
        return root;
    } catch (const std::exception& e) {
        // Only allocation can fail here.
        return std::unexpected(utf8_lossy(e.what()));
    }
}

std::expected<void, std::string> JsonParser::check(dom::element value, std::size_t depth) {
    const auto is_container = [](dom::element e) {
        const auto type = e.type();
        return type == dom::element_type::ARRAY || type == dom::element_type::OBJECT;
    };
    if (!is_container(value)) return {};
    if (depth > max_depth_) return std::unexpected(too_deep_text(max_depth_));
    if (value.type() == dom::element_type::ARRAY) {
        for (const dom::element item : array_of(value)) {
            if (!is_container(item)) continue;
            if (auto checked = check(item, depth + 1); !checked) return checked;
        }
        return {};
    }
    // The names of this object sit at the end of names_, above those of the
    // objects that enclose it; nested objects push and pop their own.
    const std::size_t first = names_.size();
    for (const dom::key_value_pair member : object_of(value)) {
        names_.push_back(member.key);
        if (!is_container(member.value)) continue;
        if (auto checked = check(member.value, depth + 1); !checked) return checked;
    }
    const std::span<std::string_view> own(names_.begin() + static_cast<std::ptrdiff_t>(first), names_.end());
    const auto repeated = repeated_name(own.begin(), own.end());
    names_.resize(first);
    if (repeated) return std::unexpected(duplicate(*repeated));
    return {};
}

std::expected<void, std::string> JsonParser::check_names(std::span<std::string_view> names) const {
    if (const auto repeated = repeated_name(names.begin(), names.end())) return std::unexpected(duplicate(*repeated));
    return {};
}

std::string JsonParser::duplicate(std::string_view name) const {
    if (wipe_ != nullptr) return "duplicate field";
    return "duplicate field `" + shown(name) + "`";
}

std::string too_deep_text(std::size_t max_depth) {
    return "nesting deeper than " + std::to_string(max_depth) + " levels";
}

std::expected<dom::element, std::string> JsonParser::parse_keeping_big_integers(std::string_view text) {
    big_integers_.clear();
    const std::vector<BigInteger> found = big_integers(text);
    if (found.empty()) return parse(text);
    try {
        mark_big_integers(text, found, "\"", "\"", copy_);
    } catch (const std::exception& e) {
        return std::unexpected(utf8_lossy(e.what()));
    }
    auto root = parse_padded(copy_.text(), true);
    if (!root) return root;
    BigIntegerStrings strings{found, big_integers_};
    strings.walk(*root);
    // "{123...:1}": a name made of digits, which the plain reader refuses as this.
    if (strings.named) return std::unexpected(std::string(simdjson::error_message(simdjson::TAPE_ERROR)));
    return root;
}

bool JsonParser::is_big_integer(std::string_view string_value) const noexcept {
    return std::binary_search(big_integers_.begin(), big_integers_.end(), string_value.data(), std::less<>());
}

nlohmann::json to_generic(dom::element value) {
    switch (value.type()) {
        case dom::element_type::OBJECT: {
            nlohmann::json out = nlohmann::json::object();
            auto& members = out.get_ref<nlohmann::json::object_t&>();
            for (const dom::key_value_pair member : object_of(value)) {
                members.emplace(std::string(member.key), to_generic(member.value));
            }
            return out;
        }
        case dom::element_type::ARRAY: {
            nlohmann::json out = nlohmann::json::array();
            auto& items = out.get_ref<nlohmann::json::array_t&>();
            for (const dom::element item : array_of(value)) items.push_back(to_generic(item));
            return out;
        }
        case dom::element_type::INT64: {
            const std::int64_t v = value.get_int64().value_unsafe();
            if (v >= 0) return static_cast<std::uint64_t>(v);
            return v;
        }
        case dom::element_type::UINT64: return value.get_uint64().value_unsafe();
        case dom::element_type::DOUBLE: return value.get_double().value_unsafe();
        case dom::element_type::STRING: return std::string(value.get_string().value_unsafe());
        case dom::element_type::BOOL: return value.get_bool().value_unsafe();
        case dom::element_type::NULL_VALUE: return nullptr;
    }
    return nullptr;
}

std::string describe(dom::element value) {
    switch (value.type()) {
        case dom::element_type::NULL_VALUE: return "null";
        case dom::element_type::BOOL:
            return std::string("boolean `") + (value.get_bool().value_unsafe() ? "true" : "false") + "`";
        case dom::element_type::INT64: return "integer `" + std::to_string(value.get_int64().value_unsafe()) + "`";
        case dom::element_type::UINT64: return "integer `" + std::to_string(value.get_uint64().value_unsafe()) + "`";
        case dom::element_type::DOUBLE:
            return "floating point `" + nlohmann::json(value.get_double().value_unsafe()).dump() + "`";
        case dom::element_type::STRING: {
            // Cut so that a hostile file cannot blow up the warning that
            // quotes it; utf8_lossy mends a sequence cut in the middle.
            constexpr std::size_t kMax = 64;
            const std::string_view s = value.get_string().value_unsafe();
            const nlohmann::json shown = s.size() <= kMax ? std::string(s) : utf8_lossy(s.substr(0, kMax)) + "...";
            return "string " + shown.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        }
        case dom::element_type::ARRAY: return "sequence";
        case dom::element_type::OBJECT: return "map";
    }
    return "value";
}

std::string invalid_type(dom::element value, std::string_view expected) {
    return "invalid type: " + describe(value) + ", expected " + std::string(expected);
}

std::string missing_field(std::string_view name) {
    return "missing field `" + std::string(name) + "`";
}

std::optional<dom::element> find_member(dom::object object, std::string_view name) noexcept {
    dom::element value;
    if (object.at_key(name).get(value) != simdjson::SUCCESS) return std::nullopt;
    return value;
}

}  // namespace qel_core
