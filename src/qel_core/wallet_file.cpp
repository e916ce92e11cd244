#include "wallet_file.hpp"

#include <cstdio>
#include <limits>

#include "json.hpp"
#include "utf8.hpp"

namespace qel_core {

namespace {

namespace dom = simdjson::dom;

using Result = std::expected<void, std::string>;

Result read_string(dom::element value, std::string& out) {
    std::string_view text;
    if (value.get_string().get(text) != simdjson::SUCCESS) return std::unexpected(invalid_type(value, "a string"));
    out.assign(text);
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

Result read_member(dom::object object, std::string_view name, std::string& out) {
    const auto value = find_member(object, name);
    if (!value) return std::unexpected(missing_field(name));
    return read_string(*value, out);
}

std::expected<WalletAccount, std::string> read_account(dom::element value) {
    dom::object object;
    if (value.get_object().get(object) != simdjson::SUCCESS) {
        return std::unexpected(invalid_type(value, "struct WalletAccount"));
    }
    WalletAccount account;
    Result r = read_member(object, "account_id", account.account_id);
    if (r) r = read_member(object, "address", account.address);
    if (r) r = read_member(object, "chain_id", account.chain_id);
    if (r) r = read_member(object, "derivation_path", account.derivation_path);
    if (!r) return std::unexpected(r.error());
    return account;
}

// The members of the top-level object by name, found in one pass.
struct Members {
    std::optional<dom::element> qel_version, id, name, created_at, chain_type, accounts, crypto, key_type, metadata;

    explicit Members(dom::object object) {
        for (const dom::key_value_pair member : object) {
            const std::string_view key = member.key;
            if (key == "qel_version") qel_version = member.value;
            else if (key == "id") id = member.value;
            else if (key == "name") name = member.value;
            else if (key == "created_at") created_at = member.value;
            else if (key == "chain_type") chain_type = member.value;
            else if (key == "accounts") accounts = member.value;
            else if (key == "crypto") crypto = member.value;
            else if (key == "key_type") key_type = member.value;
            else if (key == "metadata") metadata = member.value;
        }
    }
};

// The record from a parsed document whose member names are known to be
// unique. The checks run in the order of the record's fields.
std::expected<EncryptedWallet, std::string> wallet_from(dom::element root) {
    dom::object object;
    if (root.get_object().get(object) != simdjson::SUCCESS) {
        return std::unexpected(invalid_type(root, "struct EncryptedWallet"));
    }
    const Members m(object);
    EncryptedWallet w;
    const auto required = [](const std::optional<dom::element>& value, std::string_view name, auto read) -> Result {
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
    dom::array accounts;
    if (m.accounts->get_array().get(accounts) != simdjson::SUCCESS) {
        return std::unexpected(invalid_type(*m.accounts, "a sequence"));
    }
    w.accounts.reserve(accounts.size());
    for (const dom::element entry : accounts) {
        auto account = read_account(entry);
        if (!account) return std::unexpected(account.error());
        w.accounts.push_back(std::move(*account));
    }

    if (!m.crypto) return std::unexpected(missing_field("crypto"));
    if (!m.key_type) return std::unexpected(missing_field("key_type"));
    auto key_type = read_key_type(*m.key_type);
    if (!key_type) return std::unexpected(key_type.error());
    w.key_type = *key_type;

    w.crypto = to_generic(*m.crypto);
    if (m.metadata) w.metadata = to_generic(*m.metadata);
    return w;
}

}  // namespace

struct WalletFileReader::State {
    JsonParser parser{kMaxJsonDepth};
    PaddedText text;
};

WalletFileReader::WalletFileReader() : state_(std::make_unique<State>()) {}
WalletFileReader::~WalletFileReader() = default;

PaddedText& WalletFileReader::buffer() noexcept {
    return state_->text;
}

std::expected<EncryptedWallet, std::string> WalletFileReader::read() {
    try {
        auto root = state_->parser.parse(state_->text);
        if (!root) return std::unexpected(root.error());
        return wallet_from(*root);
    } catch (const std::exception& e) {
        // Only allocation can fail here.
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
