#include "wallet_file.hpp"

#include <cstdio>
#include <limits>

#include "json.hpp"
#include "utf8.hpp"

namespace qel_core {

namespace {

namespace dom = simdjson::dom;

using Result = std::expected<void, std::string>;

Result read_string(dom::element value, std::string_view& out) {
    if (value.get_string().get(out) != simdjson::SUCCESS) return std::unexpected(invalid_type(value, "a string"));
    return {};
}

Result read_u32(dom::element value, std::uint32_t& out) {
    const auto type = value.type();
    if (type != dom::element_type::INT64 && type != dom::element_type::UINT64) {
        return std::unexpected(invalid_type(value, "u32"));
    }
    // UINT64 holds only values above the signed 64-bit range.
    std::int64_t v = -1;
    if (type == dom::element_type::INT64) v = value.get_int64().value_unsafe();
    if (v < 0 || v > std::numeric_limits<std::uint32_t>::max()) {
        return std::unexpected("invalid value: " + describe(value) + ", expected u32");
    }
    out = static_cast<std::uint32_t>(v);
    return {};
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
    return std::unexpected("unknown variant `" + std::string(*name) + "`, expected `mnemonic` or `private_key`");
}

std::expected<ChainType, std::string> read_chain_type(dom::element value) {
    const auto name = variant_name(value);
    if (!name) return std::unexpected(std::string("invalid type: expected a chain type name"));
    return chain_type_from_name(*name);
}

// One account entry, its members found by name.
struct AccountMembers {
    dom::element entry;
    bool is_object = false;
    std::optional<dom::element> account_id, address, chain_id, derivation_path;
};

std::expected<WalletAccountView, std::string> read_account(const AccountMembers& m) {
    if (!m.is_object) return std::unexpected(invalid_type(m.entry, "struct WalletAccount"));
    const auto take = [](const std::optional<dom::element>& value, std::string_view name,
                         std::string_view& out) -> Result {
        if (!value) return std::unexpected(missing_field(name));
        return read_string(*value, out);
    };
    WalletAccountView account;
    Result r = take(m.account_id, "account_id", account.account_id);
    if (r) r = take(m.address, "address", account.address);
    if (r) r = take(m.chain_id, "chain_id", account.chain_id);
    if (r) r = take(m.derivation_path, "derivation_path", account.derivation_path);
    if (!r) return std::unexpected(r.error());
    return account;
}

// The members of the top-level object by name.
struct Members {
    std::optional<dom::element> qel_version, id, name, created_at, chain_type, accounts, crypto, key_type, metadata;
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
struct WalletFileReader::State {
    JsonParser parser{kMaxJsonDepth};
    PaddedText text;
    std::vector<std::string_view> names;
    std::vector<AccountMembers> account_members;
    std::vector<WalletAccountView> accounts;

    std::expected<Fields, std::string> fields() {
        auto root = parser.parse_unchecked(text);
        if (!root) return std::unexpected(root.error());
        dom::object object;
        if (root->get_object().get(object) != simdjson::SUCCESS) {
            if (auto ok = parser.check(*root, 1); !ok) return std::unexpected(ok.error());
            return std::unexpected(invalid_type(*root, "struct EncryptedWallet"));
        }
        Members m;
        if (auto ok = walk(object, m); !ok) return std::unexpected(ok.error());
        return read_fields(m);
    }

    // Takes a member the record knows into its slot; a second one with the
    // same name is a repeat. Other names are kept to be compared among
    // themselves. The value gets the parser's check when it is a container.
    Result take(std::optional<dom::element>& slot, const dom::key_value_pair& member, std::size_t depth) {
        if (slot) return std::unexpected("duplicate field `" + std::string(member.key) + "`");
        slot = member.value;
        return check(member.value, depth);
    }
    Result other(const dom::key_value_pair& member, std::size_t depth) {
        names.push_back(member.key);
        return check(member.value, depth);
    }
    Result check(dom::element value, std::size_t depth) {
        const auto type = value.type();
        if (type != dom::element_type::ARRAY && type != dom::element_type::OBJECT) return {};
        return parser.check(value, depth);
    }

    Result walk(dom::object object, Members& m) {
        account_members.clear();
        names.clear();
        for (const dom::key_value_pair member : object) {
            const std::string_view key = member.key;
            Result r;
            if (key == "accounts") {
                if (m.accounts) return std::unexpected(std::string("duplicate field `accounts`"));
                m.accounts = member.value;
                r = walk_accounts(member.value);
            } else if (key == "qel_version") r = take(m.qel_version, member, 2);
            else if (key == "id") r = take(m.id, member, 2);
            else if (key == "name") r = take(m.name, member, 2);
            else if (key == "created_at") r = take(m.created_at, member, 2);
            else if (key == "chain_type") r = take(m.chain_type, member, 2);
            else if (key == "crypto") r = take(m.crypto, member, 2);
            else if (key == "key_type") r = take(m.key_type, member, 2);
            else if (key == "metadata") r = take(m.metadata, member, 2);
            else r = other(member, 2);
            if (!r) return r;
        }
        return parser.check_names(names);
    }

    Result walk_accounts(dom::element value) {
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
                if (auto ok = check(entry, 3); !ok) return ok;
                continue;
            }
            m.is_object = true;
            for (const dom::key_value_pair member : object) {
                const std::string_view key = member.key;
                Result r;
                if (key == "account_id") r = take(m.account_id, member, 4);
                else if (key == "address") r = take(m.address, member, 4);
                else if (key == "chain_id") r = take(m.chain_id, member, 4);
                else if (key == "derivation_path") r = take(m.derivation_path, member, 4);
                else r = other(member, 4);
                if (!r) return r;
            }
            if (names.size() != first) {
                std::vector<std::string_view> own(names.begin() + static_cast<std::ptrdiff_t>(first), names.end());
                names.resize(first);
                if (auto ok = parser.check_names(own); !ok) return ok;
            }
        }
        return {};
    }

    // The checks run in the order of the record's fields.
    std::expected<Fields, std::string> read_fields(const Members& m) {
        Fields f;
        WalletFileView& w = f.view;
        const auto required = [](const std::optional<dom::element>& value, std::string_view name,
                                 auto read) -> Result {
            if (!value) return std::unexpected(missing_field(name));
            return read(*value);
        };
        Result r = required(m.qel_version, "qel_version", [&](dom::element v) { return read_u32(v, w.qel_version); });
        if (r) r = required(m.id, "id", [&](dom::element v) { return read_string(v, w.id); });
        if (r) r = required(m.name, "name", [&](dom::element v) { return read_string(v, w.name); });
        if (r) r = required(m.created_at, "created_at", [&](dom::element v) { return read_string(v, w.created_at); });
        if (!r) return std::unexpected(r.error());

        if (m.chain_type && !m.chain_type->is_null()) {
            auto type = read_chain_type(*m.chain_type);
            if (!type) return std::unexpected(type.error());
            w.chain_type = *type;
        }

        if (!m.accounts) return std::unexpected(missing_field("accounts"));
        if (!m.accounts->is_array()) return std::unexpected(invalid_type(*m.accounts, "a sequence"));
        accounts.clear();
        for (const AccountMembers& entry : account_members) {
            auto account = read_account(entry);
            if (!account) return std::unexpected(account.error());
            accounts.push_back(*account);
        }
        w.accounts = accounts;

        if (!m.crypto) return std::unexpected(missing_field("crypto"));
        f.crypto = *m.crypto;
        if (!m.key_type) return std::unexpected(missing_field("key_type"));
        auto key_type = read_key_type(*m.key_type);
        if (!key_type) return std::unexpected(key_type.error());
        w.key_type = *key_type;
        f.metadata = m.metadata;
        return f;
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
