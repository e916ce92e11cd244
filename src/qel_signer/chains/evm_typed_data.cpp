#include "evm_typed_data.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <map>
#include <set>
#include <vector>

#include <nlohmann/json.hpp>

#include "evm.hpp"
#include "qel_core/json.hpp"
#include "qel_signer/encoding.hpp"

namespace qel_signer::chains::evm {

namespace {

using nlohmann::json;
using Word = std::array<std::uint8_t, 32>;

std::unexpected<std::string> fail(const std::string& where, const std::string& what) {
    return std::unexpected(where + ": " + what);
}

// ---- types ----

struct Field {
    std::string name;
    std::string type;
};
using Types = std::map<std::string, std::vector<Field>, std::less<>>;

enum class AtomKind { Address, Bool, String, Bytes, FixedBytes, Uint, Int };
struct Atom {
    AtomKind kind;
    unsigned size = 0;  // bytes of bytesN, bits of intN and uintN
};

// The number after `prefix` when it is a canonical decimal in [lo, hi] and a
// multiple of `step`.
std::optional<unsigned> sized(std::string_view name, std::string_view prefix, unsigned lo, unsigned hi,
                              unsigned step) {
    if (!name.starts_with(prefix)) return std::nullopt;
    const std::string_view digits = name.substr(prefix.size());
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || digits[0] == '0' || ec != std::errc{} || end != digits.data() + digits.size()) {
        return std::nullopt;
    }
    if (value < lo || value > hi || value % step != 0) return std::nullopt;
    return value;
}

std::optional<Atom> atomic_type(std::string_view name) {
    if (name == "address") return Atom{AtomKind::Address};
    if (name == "bool") return Atom{AtomKind::Bool};
    if (name == "string") return Atom{AtomKind::String};
    if (name == "bytes") return Atom{AtomKind::Bytes};
    if (auto n = sized(name, "bytes", 1, 32, 1)) return Atom{AtomKind::FixedBytes, *n};
    if (auto n = sized(name, "uint", 8, 256, 8)) return Atom{AtomKind::Uint, *n};
    if (auto n = sized(name, "int", 8, 256, 8)) return Atom{AtomKind::Int, *n};
    return std::nullopt;
}

// Type and field names: identifiers of at most 256 characters, so that no
// name can make the type strings ambiguous or their handling costly.
bool is_identifier(std::string_view s) {
    const auto head = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '$'; };
    if (s.empty() || s.size() > 256 || !head(s[0])) return false;
    return std::all_of(s.begin() + 1, s.end(), [&](char c) { return head(c) || (c >= '0' && c <= '9'); });
}

// A length inside brackets: a canonical decimal that fits.
std::optional<std::size_t> array_length(std::string_view digits) {
    std::size_t length = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), length);
    if (digits.empty() || digits[0] == '0' || ec != std::errc{} || end != digits.data() + digits.size()) {
        return std::nullopt;
    }
    return length;
}

// The outermost array of a type: "Person[][3]" is 3 of "Person[]".
struct ArrayOf {
    std::string_view element;
    std::optional<std::size_t> length;
};

std::optional<ArrayOf> outer_array(std::string_view type) {
    if (!type.ends_with(']')) return std::nullopt;
    const std::size_t open = type.rfind('[');
    if (open == std::string_view::npos || open == 0) return std::nullopt;
    const std::string_view inside = type.substr(open + 1, type.size() - open - 2);
    ArrayOf out{type.substr(0, open), std::nullopt};
    if (inside.empty()) return out;
    out.length = array_length(inside);
    if (!out.length) return std::nullopt;
    return out;
}

// The struct or atomic name under a type's array suffixes, and how many
// suffixes there are; nullopt when a suffix is malformed. One pass.
struct Shape {
    std::string_view base;
    std::size_t dimensions = 0;
};

std::optional<Shape> shape_of(std::string_view type) {
    const std::size_t open = type.find('[');
    Shape out{type.substr(0, open)};
    for (std::size_t i = open; i < type.size();) {
        const std::size_t close = type.find(']', i);
        if (type[i] != '[' || close == std::string_view::npos) return std::nullopt;
        const std::string_view inside = type.substr(i + 1, close - i - 1);
        if (!inside.empty() && !array_length(inside)) return std::nullopt;
        ++out.dimensions;
        i = close + 1;
    }
    return out;
}

// The base name of a type read_types has accepted.
std::string_view base_type(std::string_view type) { return type.substr(0, type.find('[')); }

// ---- integers ----

// A sign and a 256-bit magnitude, big-endian.
struct Integer {
    bool negative = false;
    Word magnitude{};
};

// magnitude = magnitude * base + digit; false on overflow past 256 bits.
bool mul_add(Word& magnitude, unsigned base, unsigned digit) {
    unsigned carry = digit;
    for (std::size_t i = magnitude.size(); i-- > 0;) {
        const unsigned v = magnitude[i] * base + carry;
        magnitude[i] = static_cast<std::uint8_t>(v & 0xFF);
        carry = v >> 8;
    }
    return carry == 0;
}

std::size_t bit_length(const Word& w) {
    for (std::size_t i = 0; i < w.size(); ++i) {
        if (w[i] != 0) return (w.size() - i) * 8 - static_cast<std::size_t>(__builtin_clz(w[i]) - 24);
    }
    return 0;
}

bool is_zero(const Word& w) {
    return std::all_of(w.begin(), w.end(), [](std::uint8_t b) { return b == 0; });
}

enum class IntegerProblem { NotAnInteger, TooLarge };

// Digits in `base` (10 or 16), none other.
std::expected<Word, IntegerProblem> parse_digits(std::string_view digits, unsigned base) {
    if (digits.empty()) return std::unexpected(IntegerProblem::NotAnInteger);
    Word w{};
    bool overflow = false;
    for (char c : digits) {
        unsigned d = 0;
        if (c >= '0' && c <= '9') {
            d = static_cast<unsigned>(c - '0');
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            d = static_cast<unsigned>(c - 'a' + 10);
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            d = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return std::unexpected(IntegerProblem::NotAnInteger);
        }
        overflow = overflow || !mul_add(w, base, d);
    }
    if (overflow) return std::unexpected(IntegerProblem::TooLarge);
    return w;
}

// The value as written, for messages.
std::string shown(const json& v) {
    if (v.is_binary()) return std::string(v.get_binary().begin(), v.get_binary().end());
    return v.dump();
}

// Reads an integer value: a JSON integer of any size, a decimal string or a
// "0x" hex string.
std::expected<Integer, IntegerProblem> read_integer(const json& v) {
    Integer out;
    if (v.is_number_unsigned() || v.is_number_integer()) {
        std::uint64_t m = 0;
        if (v.is_number_unsigned()) {
            m = v.get<std::uint64_t>();
        } else {
            const std::int64_t i = v.get<std::int64_t>();
            out.negative = i < 0;
            m = out.negative ? 0 - static_cast<std::uint64_t>(i) : static_cast<std::uint64_t>(i);
        }
        for (std::size_t k = 0; k < 8; ++k) out.magnitude[31 - k] = static_cast<std::uint8_t>(m >> (8 * k));
        return out;
    }
    std::string text;
    bool hex_allowed = false;
    if (v.is_binary() && v.get_binary().has_subtype() && v.get_binary().subtype() == qel_core::kNumberTextSubtype) {
        // A JSON number beyond 64 bits, or with a fraction or an exponent.
        text.assign(v.get_binary().begin(), v.get_binary().end());
    } else if (v.is_string()) {
        text = v.get<std::string>();
        hex_allowed = true;
    } else {
        return std::unexpected(IntegerProblem::NotAnInteger);
    }
    std::expected<Word, IntegerProblem> magnitude;
    if (hex_allowed && text.starts_with("0x")) {
        magnitude = parse_digits(std::string_view(text).substr(2), 16);
    } else {
        out.negative = text.starts_with('-');
        magnitude = parse_digits(std::string_view(text).substr(out.negative ? 1 : 0), 10);
    }
    if (!magnitude) return std::unexpected(magnitude.error());
    out.magnitude = *magnitude;
    if (is_zero(out.magnitude)) out.negative = false;
    return out;
}

bool in_range(const Integer& value, const Atom& atom) {
    const std::size_t bits = bit_length(value.magnitude);
    if (atom.kind == AtomKind::Uint) return !value.negative && bits <= atom.size;
    if (!value.negative) return bits < atom.size;
    // -2^(n-1) is the smallest value: a magnitude of exactly 2^(n-1) fits.
    if (bits < atom.size) return true;
    if (bits > atom.size) return false;
    Word power{};
    power[31 - (atom.size - 1) / 8] = static_cast<std::uint8_t>(1u << ((atom.size - 1) % 8));
    return value.magnitude == power;
}

// Two's complement in 256 bits.
Word to_word(const Integer& value) {
    Word w = value.magnitude;
    if (!value.negative) return w;
    for (auto& b : w) b = static_cast<std::uint8_t>(~b);
    for (std::size_t i = w.size(); i-- > 0;) {
        if (++w[i] != 0) break;
    }
    return w;
}

std::string to_decimal(const Integer& value) {
    Word w = value.magnitude;
    std::string digits;
    do {
        unsigned remainder = 0;
        for (auto& b : w) {
            const unsigned cur = remainder * 256 + b;
            b = static_cast<std::uint8_t>(cur / 10);
            remainder = cur % 10;
        }
        digits.push_back(static_cast<char>('0' + remainder));
    } while (!is_zero(w));
    if (value.negative) digits.push_back('-');
    std::reverse(digits.begin(), digits.end());
    return digits;
}

// ---- the document ----

std::expected<Types, std::string> read_types(const json& doc) {
    const auto it = doc.find("types");
    if (it == doc.end()) return fail("types", "missing");
    if (!it->is_object()) return fail("types", "expected an object of struct types");
    Types types;
    for (const auto& [name, fields] : it->items()) {
        const std::string where = "types." + name;
        if (!is_identifier(name)) return fail("types", "`" + name + "` is not a valid type name");
        if (atomic_type(name)) return fail("types", "`" + name + "` is an atomic type");
        if (!fields.is_array()) return fail(where, "expected an array of fields");
        std::vector<Field>& list = types[name];
        for (std::size_t i = 0; i < fields.size(); ++i) {
            const json& f = fields[i];
            const std::string at = where + "[" + std::to_string(i) + "]";
            const auto fname = f.is_object() ? f.find("name") : f.end();
            const auto ftype = f.is_object() ? f.find("type") : f.end();
            if (!f.is_object() || fname == f.end() || ftype == f.end() || !fname->is_string() ||
                !ftype->is_string()) {
                return fail(at, "expected an object with a string name and type");
            }
            Field field{fname->get<std::string>(), ftype->get<std::string>()};
            if (!is_identifier(field.name)) return fail(at, "`" + field.name + "` is not a valid field name");
            if (std::any_of(list.begin(), list.end(), [&](const Field& g) { return g.name == field.name; })) {
                return fail(where, "field `" + field.name + "` is declared twice");
            }
            list.push_back(std::move(field));
        }
    }
    for (const auto& [name, fields] : types) {
        for (const Field& f : fields) {
            const auto shape = shape_of(f.type);
            if (!shape || (!atomic_type(shape->base) && !types.contains(shape->base))) {
                return fail("types." + name + "." + f.name, "unknown type `" + f.type + "`");
            }
            // Values cannot nest deeper, so neither can a type that is to be used.
            if (shape->dimensions > kMaxTypedDataDepth) {
                return fail("types." + name + "." + f.name,
                            "arrays nested deeper than " + std::to_string(kMaxTypedDataDepth) + " levels");
            }
        }
    }
    return types;
}

struct DomainField {
    const char* name;
    const char* type;
};
constexpr std::array<DomainField, 5> kDomainFields{{
    {"name", "string"},
    {"version", "string"},
    {"chainId", "uint256"},
    {"verifyingContract", "address"},
    {"salt", "bytes32"},
}};

// Types the domain with the declared EIP712Domain, or declares it from the
// standard fields the domain has.
std::expected<void, std::string> settle_domain_type(Types& types, const json& domain) {
    if (const auto declared = types.find("EIP712Domain"); declared != types.end()) {
        for (const auto& [key, value] : domain.items()) {
            if (std::none_of(declared->second.begin(), declared->second.end(),
                             [&](const Field& f) { return f.name == key; })) {
                return fail("domain." + key, "not declared in EIP712Domain");
            }
        }
        return {};
    }
    for (const auto& [key, value] : domain.items()) {
        if (std::none_of(kDomainFields.begin(), kDomainFields.end(), [&](const DomainField& f) { return key == f.name; })) {
            return fail("domain." + key, "not an EIP712Domain field (name, version, chainId, verifyingContract, salt)");
        }
    }
    std::vector<Field>& fields = types["EIP712Domain"];
    for (const DomainField& f : kDomainFields) {
        if (domain.contains(f.name)) fields.push_back({f.name, f.type});
    }
    return {};
}

std::expected<std::string, std::string> primary_type(const json& doc, const Types& types) {
    if (const auto it = doc.find("primaryType"); it != doc.end()) {
        if (!it->is_string()) return fail("primaryType", "expected a string");
        const std::string name = it->get<std::string>();
        if (name != "EIP712Domain" && !types.contains(name)) return fail("primaryType", "unknown type `" + name + "`");
        return name;
    }
    std::set<std::string_view> referenced;
    for (const auto& [name, fields] : types) {
        for (const Field& f : fields) {
            const std::string_view base = base_type(f.type);
            if (base != name) referenced.insert(base);
        }
    }
    std::vector<std::string_view> roots;
    for (const auto& [name, fields] : types) {
        if (name != "EIP712Domain" && !referenced.contains(name)) roots.push_back(name);
    }
    if (roots.size() != 1) return fail("primaryType", "not given, and the types do not single one out");
    return std::string(roots[0]);
}

// ---- encoding ----

class Encoder {
public:
    explicit Encoder(const Types& types) : types_(types) {}

    std::expected<Hash32, std::string> hash_struct(const std::string& type, const json& value, std::string& where,
                                                   std::size_t depth) {
        if (depth > kMaxTypedDataDepth) {
            return fail(where, "nesting deeper than " + std::to_string(kMaxTypedDataDepth) + " levels");
        }
        if (!value.is_object()) return fail(where, "expected an object of type " + type);
        const std::vector<Field>& fields = types_.at(type);
        Bytes encoded;
        encoded.reserve(32 * (1 + fields.size()));
        const Hash32& th = type_hash(type);
        encoded.insert(encoded.end(), th.begin(), th.end());
        for (const Field& f : fields) {
            const std::size_t mark = where.size();
            where += "." + f.name;
            const auto member = value.find(f.name);
            if (member == value.end()) return fail(where, "missing");
            auto word = encode(f.type, *member, where, depth);
            if (!word) return std::unexpected(word.error());
            encoded.insert(encoded.end(), word->begin(), word->end());
            where.resize(mark);
        }
        return keccak256(encoded);
    }

private:
    // "Name(type name,...)" of the type, then of every struct it uses, those
    // in name order.
    const Hash32& type_hash(const std::string& type) {
        if (const auto it = hashes_.find(type); it != hashes_.end()) return it->second;
        std::set<std::string_view> deps;
        std::vector<std::string_view> pending{type};
        while (!pending.empty()) {
            const std::string_view t = pending.back();
            pending.pop_back();
            for (const Field& f : types_.find(t)->second) {
                const std::string_view base = base_type(f.type);
                if (base != type && types_.contains(base) && deps.insert(base).second) pending.push_back(base);
            }
        }
        std::string text;
        const auto append = [&](std::string_view t) {
            text += t;
            text += '(';
            bool first = true;
            for (const Field& f : types_.find(t)->second) {
                if (!first) text += ',';
                first = false;
                text += f.type;
                text += ' ';
                text += f.name;
            }
            text += ')';
        };
        append(type);
        for (std::string_view d : deps) append(d);
        return hashes_[type] = keccak256({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
    }

    // The 32-byte word a member contributes to its struct's encoding.
    std::expected<Word, std::string> encode(std::string_view type, const json& value, std::string& where,
                                            std::size_t depth) {
        if (const auto array = outer_array(type)) {
            if (depth + 1 > kMaxTypedDataDepth) {
                return fail(where, "nesting deeper than " + std::to_string(kMaxTypedDataDepth) + " levels");
            }
            if (!value.is_array()) return fail(where, "expected an array");
            if (array->length && value.size() != *array->length) {
                return fail(where, "expected " + std::to_string(*array->length) + " elements, got " +
                                       std::to_string(value.size()));
            }
            Bytes encoded;
            encoded.reserve(32 * value.size());
            for (std::size_t i = 0; i < value.size(); ++i) {
                const std::size_t mark = where.size();
                where += "[" + std::to_string(i) + "]";
                auto word = encode(array->element, value[i], where, depth + 1);
                if (!word) return std::unexpected(word.error());
                encoded.insert(encoded.end(), word->begin(), word->end());
                where.resize(mark);
            }
            return keccak256(encoded);
        }
        const auto atom = atomic_type(type);
        if (!atom) return hash_struct(std::string(type), value, where, depth + 1);
        Word word{};
        switch (atom->kind) {
            case AtomKind::Bool:
                if (!value.is_boolean()) return fail(where, "expected true or false");
                word[31] = value.get<bool>() ? 1 : 0;
                return word;
            case AtomKind::String: {
                if (!value.is_string()) return fail(where, "expected a string");
                const std::string& s = value.get_ref<const std::string&>();
                return keccak256({reinterpret_cast<const std::uint8_t*>(s.data()), s.size()});
            }
            case AtomKind::Address: {
                const char* const expected = "expected an address (\"0x\" and 40 hex digits)";
                if (!value.is_string()) return fail(where, expected);
                const std::string& s = value.get_ref<const std::string&>();
                if (s.size() != 42 || !s.starts_with("0x")) return fail(where, expected);
                auto account = hex_decode(std::string_view(s).substr(2));
                if (!account) return fail(where, expected);
                const bool has_lower = std::any_of(s.begin() + 2, s.end(), [](char c) { return c >= 'a' && c <= 'f'; });
                const bool has_upper = std::any_of(s.begin() + 2, s.end(), [](char c) { return c >= 'A' && c <= 'F'; });
                if (has_lower && has_upper &&
                    checksum_address(std::span<const std::uint8_t, 20>(account->data(), 20)) != s) {
                    return fail(where, "address fails its EIP-55 checksum");
                }
                std::copy(account->begin(), account->end(), word.begin() + 12);
                return word;
            }
            case AtomKind::Bytes:
            case AtomKind::FixedBytes: {
                const char* const expected = "expected \"0x\" and an even number of hex digits";
                if (!value.is_string() || !value.get_ref<const std::string&>().starts_with("0x")) {
                    return fail(where, expected);
                }
                auto bytes = hex_decode(std::string_view(value.get_ref<const std::string&>()).substr(2));
                if (!bytes) return fail(where, expected);
                if (atom->kind == AtomKind::Bytes) return keccak256(*bytes);
                if (bytes->size() != atom->size) {
                    return fail(where, "expected " + std::to_string(atom->size) + " bytes, got " +
                                           std::to_string(bytes->size()));
                }
                std::copy(bytes->begin(), bytes->end(), word.begin());
                return word;
            }
            case AtomKind::Uint:
            case AtomKind::Int: {
                auto integer = read_integer(value);
                if (!integer && integer.error() == IntegerProblem::NotAnInteger) {
                    return fail(where,
                                "expected an integer (a JSON integer, a decimal string or a \"0x\" hex string)");
                }
                if (!integer || !in_range(*integer, *atom)) {
                    return fail(where, shown(value) + " is out of range for " + std::string(type));
                }
                return to_word(*integer);
            }
        }
        return word;
    }

    const Types& types_;
    std::map<std::string, Hash32, std::less<>> hashes_;
};

std::expected<std::optional<std::string>, std::string> domain_chain_id(const Types& types, const json& domain) {
    const auto& fields = types.at("EIP712Domain");
    const auto field = std::find_if(fields.begin(), fields.end(), [](const Field& f) { return f.name == "chainId"; });
    if (field == fields.end()) return std::nullopt;
    const auto atom = atomic_type(field->type);
    if (!atom || (atom->kind != AtomKind::Uint && atom->kind != AtomKind::Int)) return std::nullopt;
    const auto value = domain.find("chainId");
    if (value == domain.end()) return std::nullopt;  // reported as missing when the domain is hashed
    auto integer = read_integer(*value);
    if (!integer) return std::nullopt;  // likewise
    return to_decimal(*integer);
}

}  // namespace

std::expected<TypedDataHashes, std::string> hash_typed_data(std::string_view json_text) {
    auto doc = qel_core::parse_json_exact(json_text, qel_core::kMaxJsonDepth);
    if (!doc) return std::unexpected("not valid JSON: " + doc.error());
    if (!doc->is_object()) return std::unexpected(std::string("expected a JSON object with types, domain and message"));
    auto types = read_types(*doc);
    if (!types) return std::unexpected(types.error());
    const auto domain = doc->find("domain");
    if (domain == doc->end()) return fail("domain", "missing");
    if (!domain->is_object()) return fail("domain", "expected an object");
    const auto message = doc->find("message");
    auto primary = primary_type(*doc, *types);
    if (!primary) return std::unexpected(primary.error());
    // Of type EIP712Domain, the domain is all that is signed (any message is ignored).
    const bool domain_only = *primary == "EIP712Domain";
    if (message == doc->end() && !domain_only) return fail("message", "missing");
    if (auto ok = settle_domain_type(*types, *domain); !ok) return std::unexpected(ok.error());

    Encoder encoder(*types);
    TypedDataHashes out;
    std::string where = "domain";
    auto domain_hash = encoder.hash_struct("EIP712Domain", *domain, where, 1);
    if (!domain_hash) return std::unexpected(domain_hash.error());
    out.domain_separator = *domain_hash;
    std::array<std::uint8_t, 66> signed_bytes{0x19, 0x01};
    std::copy(out.domain_separator.begin(), out.domain_separator.end(), signed_bytes.begin() + 2);
    if (domain_only) {
        out.digest = keccak256(ByteSpan(signed_bytes).first(34));
    } else {
        where = "message";
        auto message_hash = encoder.hash_struct(*primary, *message, where, 1);
        if (!message_hash) return std::unexpected(message_hash.error());
        out.message_hash = *message_hash;
        std::copy(message_hash->begin(), message_hash->end(), signed_bytes.begin() + 34);
        out.digest = keccak256(signed_bytes);
    }
    auto chain_id = domain_chain_id(*types, *domain);
    if (!chain_id) return std::unexpected(chain_id.error());
    out.chain_id = std::move(*chain_id);
    return out;
}

}  // namespace qel_signer::chains::evm
