#include "json.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>

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

// The ends of the integers in a JSON text that 64 bits cannot hold, which
// simdjson refuses: a number token outside strings that has no fraction or
// exponent and is out of range for int64 (negative) or uint64.
std::vector<std::size_t> big_integer_ends(std::string_view text) {
    std::vector<std::size_t> ends;
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '"') {
            for (++i; i < text.size() && text[i] != '"'; ++i) {
                if (text[i] == '\\') ++i;
            }
            ++i;
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
        if (digits == token.size() || token.find_first_not_of("0123456789", digits) != std::string_view::npos) {
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
        if (ec == std::errc::result_out_of_range) ends.push_back(i);
    }
    return ends;
}

// The text with an exponent ("e0") after each integer that 64 bits cannot
// hold, which makes it a floating-point number of the same value; false when
// there is none. Only a text simdjson refused goes through here, and the
// copy is parsed by simdjson again: an exponent after the digits of a valid
// integer makes a valid number, after anything else an invalid one.
bool widen_big_integers(std::string_view text, PaddedText& out) {
    const std::vector<std::size_t> ends = big_integer_ends(text);
    if (ends.empty()) return false;
    char* data = out.reserve(text.size() + 2 * ends.size());
    std::size_t from = 0;
    std::size_t at = 0;
    for (const std::size_t end : ends) {
        std::char_traits<char>::copy(data + at, text.data() + from, end - from);
        at += end - from;
        data[at++] = 'e';
        data[at++] = '0';
        from = end;
    }
    std::char_traits<char>::copy(data + at, text.data() + from, text.size() - from);
    out.set_size(at + text.size() - from);
    return true;
}

// A parse error as nlohmann's parser reports it: how many bytes it had read
// (counting the end of the text as one), and its exception's id and text.
struct SyntaxError {
    std::size_t position = 0;
    int id = 0;
    std::string what;
};

// Runs nlohmann's parser over a text that simdjson refused, only to say what
// is wrong and where: simdjson reports what kind of error it met but not its
// place. The callbacks accept everything; the first error ends the pass.
class ErrorFinder final : public nlohmann::json_sax<nlohmann::json> {
public:
    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t&) override { return true; }
    bool string(string_t&) override { return true; }
    bool binary(binary_t&) override { return true; }
    bool start_object(std::size_t) override { return true; }
    bool key(string_t&) override { return true; }
    bool end_object() override { return true; }
    bool start_array(std::size_t) override { return true; }
    bool end_array() override { return true; }
    bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& e) override {
        error = SyntaxError{position, e.id, e.what()};
        return false;
    }

    std::optional<SyntaxError> error;
};

// Where a number token that starts at `from` ends, reading as a JSON lexer
// does: an optional minus, 0 or digits, then '.' and digits, then an
// exponent, stopping at the first byte that cannot continue it (so a
// malformed one, like "1." or "-", ends after what was read of it).
std::size_t number_end(std::string_view text, std::size_t from) {
    const auto digit = [&](std::size_t i) { return i < text.size() && text[i] >= '0' && text[i] <= '9'; };
    const auto skip_digits = [&](std::size_t i) {
        while (digit(i)) ++i;
        return i;
    };
    std::size_t i = from;
    if (i < text.size() && text[i] == '-') ++i;
    if (!digit(i)) return i;
    i = text[i] == '0' ? i + 1 : skip_digits(i);
    if (i < text.size() && text[i] == '.') i = skip_digits(i + 1);
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
        i = skip_digits(i);
    }
    return i;
}

// Where the token whose last byte read is at `at` starts. nlohmann reads a
// whole token before it decides that it is out of place (and stops inside
// one that is malformed), while this library's messages point at its start.
// `kind` is what the message says about the token: "unexpected <name>" or
// the lexer's own problem.
std::size_t token_start(std::string_view text, std::size_t at, std::string_view kind) {
    if (kind.starts_with("unexpected string") || kind.starts_with("invalid string")) {
        // Back to the opening quote: one not escaped by a backslash.
        for (std::size_t j = std::min(at, text.size()); j-- > 0;) {
            if (text[j] != '"') continue;
            std::size_t backslashes = 0;
            while (j > backslashes && text[j - backslashes - 1] == '\\') ++backslashes;
            if (backslashes % 2 == 0) return j;
        }
        return at;
    }
    if (kind.starts_with("unexpected number") || kind.starts_with("invalid number")) {
        // Numbers may directly follow one another ("01" is 0 then 1), so lex
        // forward from the first number byte to the token that holds `at`:
        // its last byte for a number out of place, the byte that broke it
        // (or the end) for a malformed one.
        const bool out_of_place = kind.starts_with("unexpected");
        const std::size_t last = out_of_place ? at : (at == 0 ? 0 : at - 1);
        std::size_t j = std::min(out_of_place ? at + 1 : at, text.size());
        while (j > 0 && is_number_byte(text[j - 1])) --j;
        while (j <= last) {
            const std::size_t end = number_end(text, j);
            if (end == j) {
                ++j;
                continue;
            }
            if (end > last) return j;
            j = end;
        }
        return at;
    }
    if (kind.starts_with("unexpected true") || kind.starts_with("unexpected false") ||
        kind.starts_with("unexpected null")) {
        const std::size_t length = kind[11] == 'f' ? 5 : 4;
        return at + 1 >= length ? at + 1 - length : 0;
    }
    if (kind.starts_with("invalid literal")) {
        // A proper prefix of a literal and the byte that broke it, or one
        // byte that starts no token.
        for (std::size_t j = at; j-- > 0 && at - j < 5;) {
            const std::string_view word = text[j] == 't' ? "true" : text[j] == 'f' ? "false" : "null";
            if ((text[j] == 't' || text[j] == 'f' || text[j] == 'n') && at - j < word.size() &&
                word.starts_with(text.substr(j, at - j))) {
                return j;
            }
        }
    }
    return at;
}

// The start of the UTF-8 sequence that the byte at `at` fails to continue,
// or `at` when it starts none (a stray or invalid byte).
std::size_t utf8_sequence_start(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    std::size_t lead = at;
    while (lead > 0 && at - lead < 3 && byte(lead - 1) >= 0x80 && byte(lead - 1) < 0xC0) --lead;
    if (lead == 0 || byte(lead - 1) < 0xC0) return at;
    const unsigned char first = byte(lead - 1);
    const std::size_t length = first >= 0xF0 ? 4 : first >= 0xE0 ? 3 : 2;
    return at - (lead - 1) < length ? lead - 1 : at;
}

// A problem and the byte it is reported at.
struct Problem {
    std::string_view text;
    std::size_t offset;
};

// The problem behind one of nlohmann's parse errors, in this library's words,
// and its place: the start of the offending token, or for an error inside a
// string or number the byte that breaks it (the start of a broken UTF-8
// sequence, of a \u escape's digits, the end of a \u escape that is a lone
// surrogate). Its texts read "... syntax error while parsing <context> -
// <what>[; last read: '<input>'][; expected <token>]": the context and the
// start of <what> (an unexpected token, or one of the lexer's fixed
// messages) come before anything quoted from the input, and the expected
// token is a fixed suffix, so a hostile text cannot pass for another kind of
// error. The input it quotes is never repeated.
Problem problem_of(std::string_view text, const SyntaxError& error) {
    // The byte nlohmann stopped at, or the end of the text.
    const std::size_t at = std::min(error.position == 0 ? 0 : error.position - 1, text.size());
    constexpr int kNumberOverflow = 406;
    if (error.id == kNumberOverflow) return {"number out of range", std::min(at + 1, text.size())};
    const std::string_view what = error.what;
    constexpr std::string_view kWhile = "while parsing ";
    const auto context_at = what.find(kWhile);
    const auto dash = what.find(" - ", context_at);
    if (context_at == std::string_view::npos || dash == std::string_view::npos) return {"invalid value", at};
    const std::string_view context = what.substr(context_at + kWhile.size(), dash - context_at - kWhile.size());
    const std::string_view rest = what.substr(dash + 3);
    const std::size_t start = token_start(text, at, rest);
    const bool at_end = rest.starts_with("unexpected end of input");
    const bool lexer = !rest.starts_with("unexpected ");
    if (rest.starts_with("invalid BOM")) return {"invalid value", 0};
    if (context == "value" && rest.ends_with("; expected end of input")) {
        return {"trailing characters after the JSON value", start};
    }
    if (context == "object separator") return {"expected ':'", start};
    if (context == "array") return {at_end ? "unexpected end of input" : "expected ',' or ']'", start};
    if (context == "object") return {at_end ? "unexpected end of input" : "expected ',' or '}'", start};
    if (lexer && rest.starts_with("invalid string: ")) {
        const std::string_view problem = rest.substr(16);
        if (problem.starts_with("missing closing quote")) return {"unterminated string", at};
        if (problem.starts_with("control character")) return {"control character in string", at};
        if (problem.starts_with("ill-formed UTF-8")) return {"invalid UTF-8 in string", utf8_sequence_start(text, at)};
        if (problem.starts_with("forbidden character")) {
            return {at == text.size() ? "unterminated string" : "invalid escape in string", at};
        }
        // The rest are about the last \u escape that begins before the place.
        const auto escape = at < 2 ? std::string_view::npos : text.rfind("\\u", at - 2);
        if (escape == std::string_view::npos) return {"invalid \\u escape", at};
        if (problem.starts_with("surrogate U+D800")) {
            return {"high surrogate not followed by a low one", std::min(escape + 6, text.size())};
        }
        if (problem.starts_with("surrogate U+DC00")) {
            return {"lone low surrogate in \\u escape", std::min(escape + 6, text.size())};
        }
        // "'\u' must be followed by 4 hex digits"
        return {text.size() - escape - 2 < 4 ? "truncated \\u escape" : "invalid \\u escape", escape + 2};
    }
    if (context == "object key") return {"expected a member name", start};
    if (at_end) return {"unexpected end of input", at};
    if (rest.starts_with("invalid number; expected digit after '-'")) return {"invalid value", at};
    if (rest.starts_with("invalid number")) return {"invalid number", at};
    if (rest.starts_with("invalid literal") && start < at) return {"invalid literal", start};
    if (rest.starts_with("invalid literal") && at < text.size() &&
        (text[at] == 't' || text[at] == 'f' || text[at] == 'n')) {
        return {"invalid literal", at};
    }
    return {"invalid value", start};
}

// "<problem> at line L column C", the column counted in bytes.
std::string located_problem(std::string_view text, const SyntaxError& error) {
    const auto [problem, offset] = problem_of(text, error);
    const std::string_view before = text.substr(0, offset);
    const std::size_t line = 1 + static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
    const std::size_t line_start = before.rfind('\n') == std::string_view::npos ? 0 : before.rfind('\n') + 1;
    return std::string(problem) + " at line " + std::to_string(line) + " column " +
           std::to_string(offset - line_start + 1);
}

std::string locate_syntax_error(std::string_view text, simdjson::error_code error) {
    // nlohmann skips a byte order mark, which JSON does not allow.
    if (text.starts_with("\xEF\xBB\xBF")) return "invalid value at line 1 column 1";
    ErrorFinder finder;
    nlohmann::json::sax_parse(text.begin(), text.end(), &finder);
    if (!finder.error) return simdjson::error_message(error);
    return located_problem(text, *finder.error);
}

// Builds a generic value from nlohmann's parser, keeping the text of the
// numbers that no 64-bit integer holds, and applying JsonParser's rules on
// repeated names and nesting.
class ExactBuilder final : public nlohmann::json_sax<nlohmann::json> {
public:
    explicit ExactBuilder(std::size_t max_depth) : max_depth_(max_depth) {}

    bool null() override { return put(nullptr); }
    bool boolean(bool v) override { return put(v); }
    bool number_integer(number_integer_t v) override { return put(v); }
    bool number_unsigned(number_unsigned_t v) override { return put(v); }
    bool number_float(number_float_t, const string_t& text) override {
        return put(nlohmann::json::binary(nlohmann::json::binary_t::container_type(text.begin(), text.end()),
                                          kNumberTextSubtype));
    }
    bool string(string_t& v) override { return put(std::move(v)); }
    bool binary(binary_t& v) override { return put(nlohmann::json::binary(std::move(v))); }
    bool start_object(std::size_t) override { return open(nlohmann::json::object()); }
    bool key(string_t& name) override {
        auto& members = open_.back()->get_ref<nlohmann::json::object_t&>();
        auto [slot, inserted] = members.try_emplace(std::move(name));
        if (!inserted) return fail("duplicate field `" + slot->first + "`");
        slot_ = &slot->second;
        return true;
    }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(nlohmann::json::array()); }
    bool end_array() override { return close(); }
    bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& e) override {
        syntax_ = SyntaxError{position, e.id, e.what()};
        return false;
    }

    [[nodiscard]] std::expected<nlohmann::json, std::string> result(std::string_view text, bool ok) {
        if (syntax_) return std::unexpected(located_problem(text, *syntax_));
        if (!ok) return std::unexpected(error_);
        return std::move(root_);
    }

private:
    // Where the next value goes: the root, the member just named, or the end
    // of the open array.
    nlohmann::json* place() {
        if (open_.empty()) return &root_;
        if (open_.back()->is_array()) return &open_.back()->get_ref<nlohmann::json::array_t&>().emplace_back();
        return slot_;
    }
    bool put(nlohmann::json v) {
        *place() = std::move(v);
        return true;
    }
    bool open(nlohmann::json container) {
        if (open_.size() + 1 > max_depth_) return fail(too_deep_text(max_depth_));
        nlohmann::json* at = place();
        *at = std::move(container);
        open_.push_back(at);
        return true;
    }
    bool close() {
        open_.pop_back();
        return true;
    }
    bool fail(std::string text) {
        error_ = utf8_lossy(text);
        return false;
    }

    std::size_t max_depth_;
    nlohmann::json root_;
    std::vector<nlohmann::json*> open_;
    nlohmann::json* slot_ = nullptr;
    std::optional<SyntaxError> syntax_;
    std::string error_;
};

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
            return std::unexpected(locate_syntax_error(text, error));
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
    return "duplicate field `" + std::string(name) + "`";
}

std::string too_deep_text(std::size_t max_depth) {
    return "nesting deeper than " + std::to_string(max_depth) + " levels";
}

std::expected<nlohmann::json, std::string> parse_json_exact(std::string_view text, std::size_t max_depth) {
    try {
        ExactBuilder builder(max_depth);
        const bool ok = nlohmann::json::sax_parse(text.begin(), text.end(), &builder);
        return builder.result(text, ok);
    } catch (const std::exception& e) {
        // Only allocation can fail here.
        return std::unexpected(utf8_lossy(e.what()));
    }
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
