#include "wallet_file.hpp"

#include <array>
#include <cstdio>
#include <limits>
#include <span>

#include "json.hpp"
#include "shown.hpp"
#include "utf8.hpp"

namespace qel_core {

namespace {

namespace dom = simdjson::dom;

// The members of the top level and of an account that the record reads, in
// the record's order; Other is any other name.
enum class Top : std::uint8_t {
    QelVersion,
    Id,
    Name,
    CreatedAt,
    ChainType,
    Accounts,
    Crypto,
    KeyType,
    Metadata,
    Other,
};
enum class Entry : std::uint8_t { AccountId, Address, ChainId, DerivationPath, Other };
constexpr std::size_t kTopMembers = static_cast<std::size_t>(Top::Other);
constexpr std::size_t kEntryMembers = static_cast<std::size_t>(Entry::Other);

Top top_member(std::string_view key) noexcept {
    switch (key.size()) {
        case 2: return key == "id" ? Top::Id : Top::Other;
        case 4: return key == "name" ? Top::Name : Top::Other;
        case 6: return key == "crypto" ? Top::Crypto : Top::Other;
        case 8:
            if (key == "accounts") return Top::Accounts;
            if (key == "key_type") return Top::KeyType;
            return key == "metadata" ? Top::Metadata : Top::Other;
        case 10:
            if (key == "created_at") return Top::CreatedAt;
            return key == "chain_type" ? Top::ChainType : Top::Other;
        case 11: return key == "qel_version" ? Top::QelVersion : Top::Other;
        default: return Top::Other;
    }
}

Entry entry_member(std::string_view key) noexcept {
    switch (key.size()) {
        case 7: return key == "address" ? Entry::Address : Entry::Other;
        case 8: return key == "chain_id" ? Entry::ChainId : Entry::Other;
        case 10: return key == "account_id" ? Entry::AccountId : Entry::Other;
        case 15: return key == "derivation_path" ? Entry::DerivationPath : Entry::Other;
        default: return Entry::Other;
    }
}

constexpr std::array<std::string_view, kEntryMembers> kEntryNames{"account_id", "address", "chain_id",
                                                                   "derivation_path"};

bool is_container(dom::element value) noexcept {
    const auto type = value.type();
    return type == dom::element_type::ARRAY || type == dom::element_type::OBJECT;
}

// A unit variant: its name as a string, or a one-member object whose value is null.
std::optional<std::string_view> variant_name(dom::element value) {
    std::string_view name;
    if (value.get_string().get(name) == simdjson::SUCCESS) return name;
    dom::object object;
    if (value.get_object().get(object) == simdjson::SUCCESS && object.size() == 1) {
        const dom::key_value_pair only = *object.begin();
        if (only.value.is_null()) return only.key;
    }
    return std::nullopt;
}

std::expected<KeyType, std::string> read_key_type(dom::element value) {
    const auto name = variant_name(value);
    if (!name) return std::unexpected(invalid_type(value, "enum KeyType"));
    if (*name == "mnemonic") return KeyType::Mnemonic;
    if (*name == "private_key") return KeyType::PrivateKey;
    return std::unexpected("unknown variant `" + shown(*name) + "`, expected `mnemonic` or `private_key`");
}

std::expected<ChainType, std::string> read_chain_type(dom::element value) {
    const auto name = variant_name(value);
    if (!name) return std::unexpected(std::string("invalid type: expected a chain type name"));
    return chain_type_from_name(*name);
}

// The members of one object that the record reads, found by name.
template <std::size_t N>
struct Found {
    std::array<dom::element, N> value;
    std::uint32_t seen = 0;

    [[nodiscard]] bool has(std::size_t i) const noexcept { return (seen >> i & 1U) != 0; }
};

// One account entry.
struct AccountMembers {
    dom::element entry;
    bool is_object = false;
    Found<kEntryMembers> members;
};

// A parsed wallet file: its public part, and its generic members unconverted.
struct Fields {
    WalletFileView view;
    dom::element crypto;
    std::optional<dom::element> metadata;
};

}  // namespace

// The reader visits every value of a file once: walking the top-level object
// and the accounts, it takes the members it knows by name, checks the names
// of each object for repeats, and hands every other value to the parser's
// own check. Those structural errors come first, as the parser's full check
// would report them; then the record's fields are read in their order.
// A listing reads thousands of files through here, so the walk keeps its
// error text aside and passes only success or failure along.
struct WalletFileReader::State {
    JsonParser parser{kMaxJsonDepth};
    PaddedText text;
    std::vector<std::string_view> names;
    std::vector<AccountMembers> account_members;
    std::vector<WalletAccountView> accounts;
    std::string error;

    bool fail(std::string text) {
        error = std::move(text);
        return false;
    }

    std::expected<Fields, std::string> fields() {
        auto root = parser.parse_unchecked(text);
        if (!root) return std::unexpected(std::move(root.error()));
        dom::object object;
        if (root->get_object().get(object) != simdjson::SUCCESS) {
            if (auto ok = parser.check(*root, 1); !ok) return std::unexpected(std::move(ok.error()));
            return std::unexpected(invalid_type(*root, "struct EncryptedWallet"));
        }
        Found<kTopMembers> top;
        if (!walk(object, top)) return std::unexpected(std::move(error));
        Fields f;
        if (!read_fields(top, f)) return std::unexpected(std::move(error));
        return f;
    }

    // The parser's check of a value that is an array or an object.
    bool check(dom::element value, std::size_t depth) {
        if (!is_container(value)) return true;
        if (auto ok = parser.check(value, depth); !ok) return fail(std::move(ok.error()));
        return true;
    }

    // A member the record knows goes into its slot; a second one with the
    // same name is a repeat.
    template <std::size_t N>
    bool take(Found<N>& found, std::size_t slot, const dom::key_value_pair& member) {
        if (found.has(slot)) return fail("duplicate field `" + shown(member.key) + "`");
        found.seen |= 1U << slot;
        found.value[slot] = member.value;
        return true;
    }

    bool check_names(std::size_t first) {
        if (names.size() == first) return true;
        const std::span<std::string_view> own(names.begin() + static_cast<std::ptrdiff_t>(first), names.end());
        auto ok = parser.check_names(own);
        names.resize(first);
        if (!ok) return fail(std::move(ok.error()));
        return true;
    }

    // Other names are kept to be compared among themselves.
    bool walk(dom::object object, Found<kTopMembers>& top) {
        account_members.clear();
        names.clear();
        for (const dom::key_value_pair member : object) {
            const Top which = top_member(member.key);
            if (which == Top::Other) {
                names.push_back(member.key);
                if (!check(member.value, 2)) return false;
                continue;
            }
            if (!take(top, static_cast<std::size_t>(which), member)) return false;
            if (which == Top::Accounts ? !walk_accounts(member.value) : !check(member.value, 2)) return false;
        }
        return check_names(0);
    }

    bool walk_accounts(dom::element value) {
        dom::array list;
        if (value.get_array().get(list) != simdjson::SUCCESS) return check(value, 2);
        // The accounts' other names go after the top level's, and are
        // compared among themselves only.
        const std::size_t first = names.size();
        for (const dom::element entry : list) {
            AccountMembers& m = account_members.emplace_back();
            m.entry = entry;
            dom::object object;
            if (entry.get_object().get(object) != simdjson::SUCCESS) {
                if (!check(entry, 3)) return false;
                continue;
            }
            m.is_object = true;
            for (const dom::key_value_pair member : object) {
                const Entry which = entry_member(member.key);
                if (which == Entry::Other) {
                    names.push_back(member.key);
                } else if (!take(m.members, static_cast<std::size_t>(which), member)) {
                    return false;
                }
                if (!check(member.value, 4)) return false;
            }
            if (!check_names(first)) return false;
        }
        return true;
    }

    bool read_string(dom::element value, std::string_view& out) {
        if (value.get_string().get(out) != simdjson::SUCCESS) return fail(invalid_type(value, "a string"));
        return true;
    }

    bool read_u32(dom::element value, std::uint32_t& out) {
        const auto type = value.type();
        if (type != dom::element_type::INT64 && type != dom::element_type::UINT64) {
            return fail(invalid_type(value, "u32"));
        }
        // UINT64 holds only values above the signed 64-bit range.
        std::int64_t v = -1;
        if (type == dom::element_type::INT64) v = value.get_int64().value_unsafe();
        if (v < 0 || v > std::numeric_limits<std::uint32_t>::max()) {
            return fail("invalid value: " + describe(value) + ", expected u32");
        }
        out = static_cast<std::uint32_t>(v);
        return true;
    }

    bool read_account(const AccountMembers& m, WalletAccountView& out) {
        if (!m.is_object) return fail(invalid_type(m.entry, "struct WalletAccount"));
        std::array<std::string_view*, kEntryMembers> slots{&out.account_id, &out.address, &out.chain_id,
                                                           &out.derivation_path};
        for (std::size_t i = 0; i < kEntryMembers; ++i) {
            if (!m.members.has(i)) return fail(missing_field(kEntryNames[i]));
            if (!read_string(m.members.value[i], *slots[i])) return false;
        }
        return true;
    }

    // The checks run in the order of the record's fields.
    bool read_fields(const Found<kTopMembers>& top, Fields& f) {
        WalletFileView& w = f.view;
        const auto present = [&](Top which, std::string_view name) {
            return top.has(static_cast<std::size_t>(which)) || fail(missing_field(name));
        };
        const auto value = [&](Top which) { return top.value[static_cast<std::size_t>(which)]; };
        if (!present(Top::QelVersion, "qel_version") || !read_u32(value(Top::QelVersion), w.qel_version)) return false;
        if (!present(Top::Id, "id") || !read_string(value(Top::Id), w.id)) return false;
        if (!present(Top::Name, "name") || !read_string(value(Top::Name), w.name)) return false;
        if (!present(Top::CreatedAt, "created_at") || !read_string(value(Top::CreatedAt), w.created_at)) return false;

        if (top.has(static_cast<std::size_t>(Top::ChainType)) && !value(Top::ChainType).is_null()) {
            auto type = read_chain_type(value(Top::ChainType));
            if (!type) return fail(std::move(type.error()));
            w.chain_type = *type;
        }

        if (!present(Top::Accounts, "accounts")) return false;
        if (!value(Top::Accounts).is_array()) return fail(invalid_type(value(Top::Accounts), "a sequence"));
        accounts.resize(account_members.size());
        for (std::size_t i = 0; i < account_members.size(); ++i) {
            if (!read_account(account_members[i], accounts[i])) return false;
        }
        w.accounts = accounts;

        if (!present(Top::Crypto, "crypto")) return false;
        f.crypto = value(Top::Crypto);
        if (!present(Top::KeyType, "key_type")) return false;
        auto key_type = read_key_type(value(Top::KeyType));
        if (!key_type) return fail(std::move(key_type.error()));
        w.key_type = *key_type;
        if (top.has(static_cast<std::size_t>(Top::Metadata))) f.metadata = value(Top::Metadata);
        return true;
    }
};

WalletFileReader::WalletFileReader() : state_(std::make_unique<State>()) {}
WalletFileReader::~WalletFileReader() = default;

PaddedText& WalletFileReader::buffer() noexcept {
    return state_->text;
}

std::expected<WalletFileView, std::string> WalletFileReader::read_public() {
    try {
        auto fields = state_->fields();
        if (!fields) return std::unexpected(fields.error());
        return fields->view;
    } catch (const std::exception& e) {
        // Only allocation can fail here.
        return std::unexpected(utf8_lossy(e.what()));
    }
}

std::expected<EncryptedWallet, std::string> WalletFileReader::read() {
    try {
        auto fields = state_->fields();
        if (!fields) return std::unexpected(fields.error());
        const WalletFileView& v = fields->view;
        EncryptedWallet w;
        w.qel_version = v.qel_version;
        w.id = v.id;
        w.name = v.name;
        w.created_at = v.created_at;
        w.chain_type = v.chain_type;
        w.accounts.reserve(v.accounts.size());
        for (const WalletAccountView& a : v.accounts) {
            w.accounts.push_back({std::string(a.account_id), std::string(a.address), std::string(a.chain_id),
                                  std::string(a.derivation_path)});
        }
        w.crypto = to_generic(fields->crypto);
        w.key_type = v.key_type;
        if (fields->metadata) w.metadata = to_generic(*fields->metadata);
        return w;
    } catch (const std::exception& e) {
        return std::unexpected(utf8_lossy(e.what()));
    }
}

EncryptedWallet EncryptedWallet::create(std::string id, std::string name, std::vector<WalletAccount> accounts,
                                        nlohmann::json crypto, KeyType key_type) {
    EncryptedWallet w;
    w.qel_version = 2;
    w.id = std::move(id);
    w.name = std::move(name);
    w.created_at = format_created_at(std::chrono::system_clock::now());
    w.chain_type = std::nullopt;
    w.accounts = std::move(accounts);
    w.crypto = std::move(crypto);
    w.key_type = key_type;
    w.metadata = nullptr;
    return w;
}

std::string EncryptedWallet::to_file_text() const {
    // The top level and the accounts keep the file format's member order;
    // the generic values are sorted by name, as the sorted map holds them.
    nlohmann::ordered_json doc = nlohmann::ordered_json::object();
    doc["qel_version"] = qel_version;
    doc["id"] = id;
    doc["name"] = name;
    doc["created_at"] = created_at;
    if (chain_type) doc["chain_type"] = std::string(to_string(*chain_type));
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const WalletAccount& a : accounts) {
        nlohmann::ordered_json entry = nlohmann::ordered_json::object();
        entry["account_id"] = a.account_id;
        entry["address"] = a.address;
        entry["chain_id"] = a.chain_id;
        entry["derivation_path"] = a.derivation_path;
        list.push_back(std::move(entry));
    }
    doc["accounts"] = std::move(list);
    doc["crypto"] = nlohmann::ordered_json(crypto);
    doc["key_type"] = key_type == KeyType::Mnemonic ? "mnemonic" : "private_key";
    if (!metadata.is_null()) doc["metadata"] = nlohmann::ordered_json(metadata);
    // Strings are written raw apart from the quote, the backslash and control
    // characters; a string that is not UTF-8 (only ever one built in code)
    // has each ill-formed sequence written as U+FFFD.
    return doc.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::expected<EncryptedWallet, std::string> EncryptedWallet::from_file_text(std::string_view text) {
    try {
        WalletFileReader reader;
        reader.buffer().assign(text);
        return reader.read();
    } catch (const std::exception& e) {
        return std::unexpected(utf8_lossy(e.what()));
    }
}

std::string format_created_at(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    const auto ns_time = time_point_cast<nanoseconds>(when);
    const auto day = floor<days>(ns_time);
    const year_month_day ymd{day};
    const hh_mm_ss<nanoseconds> tod{ns_time - day};
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02lld:%02lld:%02lld", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                  static_cast<long long>(tod.hours().count()), static_cast<long long>(tod.minutes().count()),
                  static_cast<long long>(tod.seconds().count()));
    std::string out = buf;
    const long long ns = tod.subseconds().count();
    if (ns != 0) {
        if (ns % 1'000'000 == 0) {
            std::snprintf(buf, sizeof buf, ".%03lld", ns / 1'000'000);
        } else if (ns % 1'000 == 0) {
            std::snprintf(buf, sizeof buf, ".%06lld", ns / 1'000);
        } else {
            std::snprintf(buf, sizeof buf, ".%09lld", ns);
        }
        out += buf;
    }
    out += "+00:00";
    return out;
}

}  // namespace qel_core
