#include "evm_typed_data.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <nlohmann/json.hpp>

#include "evm.hpp"
#include "qel_core/json.hpp"
#include "qel_core/shown.hpp"
#include "qel_signer/encoding.hpp"

namespace qel_signer::chains::evm {

namespace {

namespace dom = simdjson::dom;
using Word = std::array<std::uint8_t, 32>;
using qel_core::shown;

// Above this many bytes of type encodings hashed, a document is refused: a
// type's encoding lists every type it depends on, so a long chain of types
// costs the square of its length. Real documents have a handful of types.
constexpr std::size_t kMaxTypeEncodingBytes = 4 * 1024 * 1024;
// Objects with more members than this are looked up through a hash table.
constexpr std::size_t kLinearLookup = 16;

std::unexpected<std::string> fail(const std::string& where, const std::string& what) {
    return std::unexpected(where + ": " + what);
}

// ---- types ----

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

// A field's type, read once: "Person[][3]" is the struct Person under a
// dynamic and then a fixed array suffix.
struct FieldType {
    std::string_view text;
    std::string_view base;
    std::optional<Atom> atom;      // when the base is atomic
    std::size_t struct_index = 0;  // else
    std::vector<std::optional<std::size_t>> dims;  // the suffixes as written, the outermost last
};

struct Field {
    std::string_view name;
    FieldType type;
};

struct StructType {
    std::string_view name;
    std::vector<Field> fields;
    std::size_t own_encoding_size = 0;  // of "Name(type name,...)"
};

struct Types {
    std::vector<StructType> structs;
    std::unordered_map<std::string_view, std::size_t> index;

    [[nodiscard]] std::optional<std::size_t> find(std::string_view name) const {
        const auto it = index.find(name);
        if (it == index.end()) return std::nullopt;
        return it->second;
    }
};

// The base name and suffixes of a type; false when a suffix is malformed.
bool read_shape(std::string_view type, FieldType& out) {
    const std::size_t open = type.find('[');
    out.text = type;
    out.base = type.substr(0, open);
    for (std::size_t i = open; i < type.size();) {
        const std::size_t close = type.find(']', i);
        if (type[i] != '[' || close == std::string_view::npos) return false;
        const std::string_view inside = type.substr(i + 1, close - i - 1);
        if (inside.empty()) {
            out.dims.emplace_back();
        } else if (const auto length = array_length(inside)) {
            out.dims.emplace_back(*length);
        } else {
            return false;
        }
        i = close + 1;
    }
    return true;
}

std::size_t own_encoding_size(const StructType& t) {
    std::size_t size = t.name.size() + 2;
    for (const Field& f : t.fields) size += f.type.text.size() + 1 + f.name.size() + 1;
    return size - (t.fields.empty() ? 0 : 1);
}

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
    return (value.negative ? "-" : "") + big_endian_decimal(value.magnitude);
}

// ---- the document ----

// The members of an object by name, without comparing every name with every
// field of a large struct.
class Members {
public:
    explicit Members(dom::object object) : object_(object) {
        if (object.size() <= kLinearLookup) return;
        by_name_.reserve(object.size());
        for (const dom::key_value_pair member : object) by_name_.emplace(member.key, member.value);
    }
    [[nodiscard]] std::optional<dom::element> find(std::string_view name) const {
        if (by_name_.empty()) return qel_core::find_member(object_, name);
        const auto it = by_name_.find(name);
        if (it == by_name_.end()) return std::nullopt;
        return it->second;
    }

private:
    dom::object object_;
    std::unordered_map<std::string_view, dom::element> by_name_;
};

std::optional<std::string_view> string_of(dom::element v) {
    std::string_view s;
    if (v.get_string().get(s) != simdjson::SUCCESS) return std::nullopt;
    return s;
}

std::expected<Types, std::string> read_types(dom::object doc) {
    const auto member = qel_core::find_member(doc, "types");
    if (!member) return fail("types", "missing");
    dom::object declared;
    if (member->get_object().get(declared) != simdjson::SUCCESS) {
        return fail("types", "expected an object of struct types");
    }
    Types types;
    types.structs.reserve(declared.size());
    std::unordered_set<std::string_view> names;
    for (const dom::key_value_pair entry : declared) {
        const std::string_view name = entry.key;
        const std::string where = "types." + shown(name);
        if (!is_identifier(name)) return fail("types", "`" + shown(name) + "` is not a valid type name");
        if (atomic_type(name)) return fail("types", "`" + std::string(name) + "` is an atomic type");
        dom::array fields;
        if (entry.value.get_array().get(fields) != simdjson::SUCCESS) {
            return fail(where, "expected an array of fields");
        }
        StructType& type = types.structs.emplace_back();
        type.name = name;
        types.index.emplace(name, types.structs.size() - 1);
        type.fields.reserve(fields.size());
        names.clear();
        std::size_t i = 0;
        for (const dom::element f : fields) {
            dom::object field;
            std::optional<std::string_view> fname;
            std::optional<std::string_view> ftype;
            if (f.get_object().get(field) == simdjson::SUCCESS) {
                if (const auto n = qel_core::find_member(field, "name")) fname = string_of(*n);
                if (const auto t = qel_core::find_member(field, "type")) ftype = string_of(*t);
            }
            const std::string at = where + "[" + std::to_string(i++) + "]";
            if (!fname || !ftype) return fail(at, "expected an object with a string name and type");
            if (!is_identifier(*fname)) return fail(at, "`" + shown(*fname) + "` is not a valid field name");
            if (!names.insert(*fname).second) return fail(where, "field `" + std::string(*fname) + "` is declared twice");
            Field& declared_field = type.fields.emplace_back();
            declared_field.name = *fname;
            declared_field.type.text = *ftype;
        }
    }
    for (StructType& type : types.structs) {
        for (Field& f : type.fields) {
            const std::string_view text = f.type.text;
            const auto unknown = [&] {
                return fail("types." + std::string(type.name) + "." + std::string(f.name),
                            "unknown type `" + shown(text) + "`");
            };
            if (!read_shape(text, f.type)) return unknown();
            f.type.atom = atomic_type(f.type.base);
            if (!f.type.atom) {
                const auto index = types.find(f.type.base);
                if (!index) return unknown();
                f.type.struct_index = *index;
            }
            // Values cannot nest deeper, so neither can a type that is to be used.
            if (f.type.dims.size() > kMaxTypedDataDepth) {
                return fail("types." + std::string(type.name) + "." + std::string(f.name),
                            "arrays nested deeper than " + std::to_string(kMaxTypedDataDepth) + " levels");
            }
        }
        type.own_encoding_size = own_encoding_size(type);
    }
    return types;
}

struct DomainField {
    std::string_view name;
    std::string_view type;
};
constexpr std::array<DomainField, 5> kDomainFields{{
    {"name", "string"},
    {"version", "string"},
    {"chainId", "uint256"},
    {"verifyingContract", "address"},
    {"salt", "bytes32"},
}};

// Types the domain with the declared EIP712Domain, or declares it from the
// standard fields the domain has. The domain's type.
std::expected<std::size_t, std::string> settle_domain_type(Types& types, dom::object domain) {
    if (const auto declared = types.find("EIP712Domain")) {
        const StructType& type = types.structs[*declared];
        std::unordered_set<std::string_view> fields;
        fields.reserve(type.fields.size());
        for (const Field& f : type.fields) fields.insert(f.name);
        for (const dom::key_value_pair member : domain) {
            if (!fields.contains(member.key)) return fail("domain." + shown(member.key), "not declared in EIP712Domain");
        }
        return *declared;
    }
    for (const dom::key_value_pair member : domain) {
        if (std::none_of(kDomainFields.begin(), kDomainFields.end(),
                         [&](const DomainField& f) { return member.key == f.name; })) {
            return fail("domain." + shown(member.key),
                        "not an EIP712Domain field (name, version, chainId, verifyingContract, salt)");
        }
    }
    StructType type;
    type.name = "EIP712Domain";
    for (const DomainField& f : kDomainFields) {
        if (!qel_core::find_member(domain, f.name)) continue;
        Field& field = type.fields.emplace_back();
        field.name = f.name;
        field.type.text = f.type;
        field.type.base = f.type;
        field.type.atom = atomic_type(f.type);
    }
    type.own_encoding_size = own_encoding_size(type);
    types.structs.push_back(std::move(type));
    types.index.emplace("EIP712Domain", types.structs.size() - 1);
    return types.structs.size() - 1;
}

// The message's type, or none for "EIP712Domain": then only the domain is signed.
std::expected<std::optional<std::size_t>, std::string> primary_type(dom::object doc, const Types& types) {
    if (const auto member = qel_core::find_member(doc, "primaryType")) {
        const auto name = string_of(*member);
        if (!name) return fail("primaryType", "expected a string");
        if (*name == "EIP712Domain") return std::nullopt;
        const auto index = types.find(*name);
        if (!index) return fail("primaryType", "unknown type `" + shown(*name) + "`");
        return *index;
    }
    std::vector<bool> referenced(types.structs.size());
    for (std::size_t i = 0; i < types.structs.size(); ++i) {
        for (const Field& f : types.structs[i].fields) {
            if (!f.type.atom && f.type.struct_index != i) referenced[f.type.struct_index] = true;
        }
    }
    std::optional<std::size_t> root;
    for (std::size_t i = 0; i < types.structs.size(); ++i) {
        if (types.structs[i].name == "EIP712Domain" || referenced[i]) continue;
        if (root) return fail("primaryType", "not given, and the types do not single one out");
        root = i;
    }
    if (!root) return fail("primaryType", "not given, and the types do not single one out");
    return root;
}

// ---- encoding ----

class Encoder {
public:
    Encoder(const Types& types, const qel_core::JsonParser& parser)
        : types_(types), parser_(parser), hashes_(types.structs.size()), seen_(types.structs.size()) {}

    std::expected<Hash32, std::string> hash_struct(std::size_t type_index, dom::element value, std::string& where,
                                                   std::size_t depth) {
        const StructType& type = types_.structs[type_index];
        if (depth > kMaxTypedDataDepth) {
            return fail(where, "nesting deeper than " + std::to_string(kMaxTypedDataDepth) + " levels");
        }
        dom::object object;
        if (value.get_object().get(object) != simdjson::SUCCESS) {
            return fail(where, "expected an object of type " + std::string(type.name));
        }
        auto th = type_hash(type_index);
        if (!th) return std::unexpected(th.error());
        const Members members(object);
        Bytes encoded;
        encoded.reserve(32 * (1 + type.fields.size()));
        encoded.insert(encoded.end(), th->begin(), th->end());
        for (const Field& f : type.fields) {
            const std::size_t mark = where.size();
            where += ".";
            where += f.name;
            const auto member = members.find(f.name);
            if (!member) return fail(where, "missing");
            auto word = encode(f.type, f.type.dims.size(), *member, where, depth);
            if (!word) return std::unexpected(word.error());
            encoded.insert(encoded.end(), word->begin(), word->end());
            where.resize(mark);
        }
        return keccak256(encoded);
    }

private:
    // "Name(type name,...)" of the type, then of every struct it uses, those
    // in name order; each computed once.
    std::expected<Hash32, std::string> type_hash(std::size_t type_index) {
        if (hashes_[type_index]) return *hashes_[type_index];
        ++stamp_;
        std::vector<std::size_t> deps;
        std::vector<std::size_t> pending{type_index};
        seen_[type_index] = stamp_;
        std::size_t size = types_.structs[type_index].own_encoding_size;
        while (!pending.empty()) {
            const std::size_t t = pending.back();
            pending.pop_back();
            for (const Field& f : types_.structs[t].fields) {
                if (f.type.atom || seen_[f.type.struct_index] == stamp_) continue;
                seen_[f.type.struct_index] = stamp_;
                deps.push_back(f.type.struct_index);
                pending.push_back(f.type.struct_index);
                size += types_.structs[f.type.struct_index].own_encoding_size;
            }
        }
        encoded_bytes_ += size;
        if (encoded_bytes_ > kMaxTypeEncodingBytes) {
            return fail("types", "the encodings of the types used exceed " +
                                     std::to_string(kMaxTypeEncodingBytes / (1024 * 1024)) + " MiB");
        }
        std::sort(deps.begin(), deps.end(),
                  [&](std::size_t a, std::size_t b) { return types_.structs[a].name < types_.structs[b].name; });
        std::string text;
        text.reserve(size);
        const auto append = [&](const StructType& t) {
            text += t.name;
            text += '(';
            bool first = true;
            for (const Field& f : t.fields) {
                if (!first) text += ',';
                first = false;
                text += f.type.text;
                text += ' ';
                text += f.name;
            }
            text += ')';
        };
        append(types_.structs[type_index]);
        for (const std::size_t d : deps) append(types_.structs[d]);
        hashes_[type_index] = keccak256({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
        return *hashes_[type_index];
    }

    // A string of the text (not an integer beyond 64 bits kept as one).
    std::optional<std::string_view> text_of(dom::element v) const {
        const auto s = string_of(v);
        if (!s || parser_.is_big_integer(*s)) return std::nullopt;
        return s;
    }

    // Reads an integer value: a JSON integer of any size, a decimal string or
    // a "0x" hex string.
    std::expected<Integer, IntegerProblem> read_integer(dom::element v) const {
        Integer out;
        std::uint64_t m = 0;
        std::int64_t i = 0;
        if (v.get_uint64().get(m) == simdjson::SUCCESS) {
        } else if (v.get_int64().get(i) == simdjson::SUCCESS) {
            out.negative = i < 0;
            m = out.negative ? 0 - static_cast<std::uint64_t>(i) : static_cast<std::uint64_t>(i);
        } else {
            const auto s = string_of(v);
            if (!s) return std::unexpected(IntegerProblem::NotAnInteger);
            std::expected<Word, IntegerProblem> magnitude;
            if (!parser_.is_big_integer(*s) && s->starts_with("0x")) {
                magnitude = parse_digits(s->substr(2), 16);
            } else {
                out.negative = s->starts_with('-');
                magnitude = parse_digits(s->substr(out.negative ? 1 : 0), 10);
            }
            if (!magnitude) return std::unexpected(magnitude.error());
            out.magnitude = *magnitude;
            if (is_zero(out.magnitude)) out.negative = false;
            return out;
        }
        for (std::size_t k = 0; k < 8; ++k) out.magnitude[31 - k] = static_cast<std::uint8_t>(m >> (8 * k));
        return out;
    }

    // The value as written, for messages.
    std::string written(dom::element v) const {
        if (const auto s = text_of(v)) {
            return shown(nlohmann::json(std::string(*s)).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
        }
        if (const auto s = string_of(v)) return shown(*s);
        return shown(simdjson::to_string(v));
    }

    // The 32-byte word a member contributes to its struct's encoding, at
    // `level` array suffixes of its type.
    std::expected<Word, std::string> encode(const FieldType& type, std::size_t level, dom::element value,
                                            std::string& where, std::size_t depth) {
        if (level > 0) {
            if (depth + 1 > kMaxTypedDataDepth) {
                return fail(where, "nesting deeper than " + std::to_string(kMaxTypedDataDepth) + " levels");
            }
            dom::array items;
            if (value.get_array().get(items) != simdjson::SUCCESS) return fail(where, "expected an array");
            const std::optional<std::size_t> length = type.dims[level - 1];
            const std::size_t count = items.size();
            if (length && count != *length) {
                return fail(where, "expected " + std::to_string(*length) + " elements, got " + std::to_string(count));
            }
            Bytes encoded;
            encoded.reserve(32 * count);
            std::size_t i = 0;
            for (const dom::element item : items) {
                const std::size_t mark = where.size();
                where += "[" + std::to_string(i++) + "]";
                auto word = encode(type, level - 1, item, where, depth + 1);
                if (!word) return std::unexpected(word.error());
                encoded.insert(encoded.end(), word->begin(), word->end());
                where.resize(mark);
            }
            return keccak256(encoded);
        }
        if (!type.atom) return hash_struct(type.struct_index, value, where, depth + 1);
        const Atom atom = *type.atom;
        Word word{};
        switch (atom.kind) {
            case AtomKind::Bool: {
                bool flag = false;
                if (value.get_bool().get(flag) != simdjson::SUCCESS) return fail(where, "expected true or false");
                word[31] = flag ? 1 : 0;
                return word;
            }
            case AtomKind::String: {
                const auto s = text_of(value);
                if (!s) return fail(where, "expected a string");
                return keccak256({reinterpret_cast<const std::uint8_t*>(s->data()), s->size()});
            }
            case AtomKind::Address: {
                const char* const expected = "expected an address (\"0x\" and 40 hex digits)";
                const auto s = text_of(value);
                if (!s || s->size() != 42 || !s->starts_with("0x")) return fail(where, expected);
                auto account = hex_decode(s->substr(2));
                if (!account) return fail(where, expected);
                const bool has_lower = std::any_of(s->begin() + 2, s->end(), [](char c) { return c >= 'a' && c <= 'f'; });
                const bool has_upper = std::any_of(s->begin() + 2, s->end(), [](char c) { return c >= 'A' && c <= 'F'; });
                if (has_lower && has_upper &&
                    checksum_address(std::span<const std::uint8_t, 20>(account->data(), 20)) != *s) {
                    return fail(where, "address fails its EIP-55 checksum");
                }
                std::copy(account->begin(), account->end(), word.begin() + 12);
                return word;
            }
            case AtomKind::Bytes:
            case AtomKind::FixedBytes: {
                const char* const expected = "expected \"0x\" and an even number of hex digits";
                const auto s = text_of(value);
                if (!s || !s->starts_with("0x")) return fail(where, expected);
                auto bytes = hex_decode(s->substr(2));
                if (!bytes) return fail(where, expected);
                if (atom.kind == AtomKind::Bytes) return keccak256(*bytes);
                if (bytes->size() != atom.size) {
                    return fail(where, "expected " + std::to_string(atom.size) + " bytes, got " +
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
                if (!integer || !in_range(*integer, atom)) {
                    return fail(where, written(value) + " is out of range for " + std::string(type.base));
                }
                return to_word(*integer);
            }
        }
        return word;
    }

public:
    // The domain's chainId in decimal, when its type is an integer and it
    // has one that reads as an integer (anything else is reported when the
    // domain is hashed).
    std::optional<std::string> chain_id(std::size_t domain_type, dom::object domain) const {
        const auto& fields = types_.structs[domain_type].fields;
        const auto field = std::find_if(fields.begin(), fields.end(), [](const Field& f) { return f.name == "chainId"; });
        if (field == fields.end() || field->type.dims.size() != 0 || !field->type.atom) return std::nullopt;
        if (field->type.atom->kind != AtomKind::Uint && field->type.atom->kind != AtomKind::Int) return std::nullopt;
        const auto value = qel_core::find_member(domain, "chainId");
        if (!value) return std::nullopt;
        auto integer = read_integer(*value);
        if (!integer) return std::nullopt;
        return to_decimal(*integer);
    }

private:
    const Types& types_;
    const qel_core::JsonParser& parser_;
    std::vector<std::optional<Hash32>> hashes_;
    std::vector<std::size_t> seen_;  // stamp_ marks the types reached by the current search
    std::size_t stamp_ = 0;
    std::size_t encoded_bytes_ = 0;
};

}  // namespace

std::expected<TypedDataHashes, std::string> hash_typed_data(std::string_view json_text) {
    if (json_text.size() > kMaxTypedDataBytes) return std::unexpected(std::string(kTypedDataTooLarge));
    qel_core::JsonParser parser(qel_core::kMaxJsonDepth);
    auto parsed = parser.parse_keeping_big_integers(json_text);
    if (!parsed) return std::unexpected("not valid JSON: " + parsed.error());
    dom::object doc;
    if (parsed->get_object().get(doc) != simdjson::SUCCESS) {
        return std::unexpected(std::string("expected a JSON object with types, domain and message"));
    }
    auto types = read_types(doc);
    if (!types) return std::unexpected(types.error());
    const auto domain_member = qel_core::find_member(doc, "domain");
    if (!domain_member) return fail("domain", "missing");
    dom::object domain;
    if (domain_member->get_object().get(domain) != simdjson::SUCCESS) return fail("domain", "expected an object");
    const auto message = qel_core::find_member(doc, "message");
    auto primary = primary_type(doc, *types);
    if (!primary) return std::unexpected(primary.error());
    // Of type EIP712Domain, the domain is all that is signed (any message is ignored).
    const bool domain_only = !*primary;
    if (!message && !domain_only) return fail("message", "missing");
    auto domain_type = settle_domain_type(*types, domain);
    if (!domain_type) return std::unexpected(domain_type.error());

    Encoder encoder(*types, parser);
    TypedDataHashes out;
    std::string where = "domain";
    auto domain_hash = encoder.hash_struct(*domain_type, *domain_member, where, 1);
    if (!domain_hash) return std::unexpected(domain_hash.error());
    out.domain_separator = *domain_hash;
    std::array<std::uint8_t, 66> signed_bytes{0x19, 0x01};
    std::copy(out.domain_separator.begin(), out.domain_separator.end(), signed_bytes.begin() + 2);
    if (domain_only) {
        out.digest = keccak256(ByteSpan(signed_bytes).first(34));
    } else {
        where = "message";
        auto message_hash = encoder.hash_struct(**primary, *message, where, 1);
        if (!message_hash) return std::unexpected(message_hash.error());
        out.message_hash = *message_hash;
        std::copy(message_hash->begin(), message_hash->end(), signed_bytes.begin() + 34);
        out.digest = keccak256(signed_bytes);
    }
    out.chain_id = encoder.chain_id(*domain_type, domain);
    return out;
}

}  // namespace qel_signer::chains::evm
