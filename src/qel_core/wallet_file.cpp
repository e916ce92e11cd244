#include "wallet_file.hpp"

#include <cstdio>
#include <limits>

#include "json.hpp"
#include "utf8.hpp"

namespace qel_core {

namespace {

using nlohmann::json;

// How a value of the wrong JSON type is named in an error. Long strings are
// cut so that a hostile file cannot blow up the warning that quotes it.
std::string describe(const json& v) {
    switch (v.type()) {
        case json::value_t::null: return "null";
        case json::value_t::boolean: return std::string("boolean `") + (v.get<bool>() ? "true" : "false") + "`";
        case json::value_t::number_integer: return "integer `" + std::to_string(v.get<std::int64_t>()) + "`";
        case json::value_t::number_unsigned: return "integer `" + std::to_string(v.get<std::uint64_t>()) + "`";
        case json::value_t::number_float: return "floating point `" + v.dump() + "`";
        case json::value_t::string: {
            const std::string& s = v.get_ref<const std::string&>();
            constexpr std::size_t kMax = 64;
            if (s.size() <= kMax) return "string " + dump_pretty(v);
            // utf8_lossy mends a sequence cut in the middle.
            return "string " + dump_pretty(json(utf8_lossy(std::string_view(s).substr(0, kMax)) + "..."));
        }
        case json::value_t::array: return "sequence";
        case json::value_t::object: return "map";
        case json::value_t::binary:
        case json::value_t::discarded: return "value";
    }
    return "value";
}

std::string invalid_type(const json& v, std::string_view expected) {
    return "invalid type: " + describe(v) + ", expected " + std::string(expected);
}

std::string missing(std::string_view name) {
    return "missing field `" + std::string(name) + "`";
}

using Result = std::expected<void, std::string>;

// Moves the string out: the parsed document is thrown away afterwards.
Result read_string(json& obj, const char* name, std::string& out) {
    const auto it = obj.find(name);
    if (it == obj.end()) return std::unexpected(missing(name));
    if (!it->is_string()) return std::unexpected(invalid_type(*it, "a string"));
    out = std::move(it->get_ref<std::string&>());
    return {};
}

Result read_u32(const json& obj, const char* name, std::uint32_t& out) {
    const auto it = obj.find(name);
    if (it == obj.end()) return std::unexpected(missing(name));
    if (it->is_number_unsigned()) {
        const auto v = it->get<std::uint64_t>();
        if (v > std::numeric_limits<std::uint32_t>::max()) {
            return std::unexpected("invalid value: integer `" + std::to_string(v) + "`, expected u32");
        }
        out = static_cast<std::uint32_t>(v);
        return {};
    }
    if (it->is_number_integer()) {
        return std::unexpected("invalid value: integer `" + std::to_string(it->get<std::int64_t>()) +
                               "`, expected u32");
    }
    return std::unexpected(invalid_type(*it, "u32"));
}

std::expected<KeyType, std::string> key_type_from_json(const json& v) {
    const std::string* name = nullptr;
    if (v.is_string()) {
        name = &v.get_ref<const std::string&>();
    } else if (v.is_object() && v.size() == 1 && v.begin().value().is_null()) {
        name = &v.begin().key();
    } else {
        return std::unexpected(invalid_type(v, "enum KeyType"));
    }
    if (*name == "mnemonic") return KeyType::Mnemonic;
    if (*name == "private_key") return KeyType::PrivateKey;
    return std::unexpected("unknown variant `" + utf8_lossy(*name) + "`, expected `mnemonic` or `private_key`");
}

std::expected<WalletAccount, std::string> account_from_json(json& v) {
    if (!v.is_object()) return std::unexpected(invalid_type(v, "struct WalletAccount"));
    WalletAccount account;
    Result r = read_string(v, "account_id", account.account_id);
    if (r) r = read_string(v, "address", account.address);
    if (r) r = read_string(v, "chain_id", account.chain_id);
    if (r) r = read_string(v, "derivation_path", account.derivation_path);
    if (!r) return std::unexpected(r.error());
    return account;
}

}  // namespace

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
    return dump_pretty(doc);
}

std::expected<EncryptedWallet, std::string> EncryptedWallet::from_file_text(std::string_view text) {
    auto parsed = parse_json_strict(text);
    if (!parsed) return std::unexpected(parsed.error());
    json& doc = *parsed;
    if (!doc.is_object()) return std::unexpected(invalid_type(doc, "struct EncryptedWallet"));

    EncryptedWallet w;
    Result r = read_u32(doc, "qel_version", w.qel_version);
    if (r) r = read_string(doc, "id", w.id);
    if (r) r = read_string(doc, "name", w.name);
    if (r) r = read_string(doc, "created_at", w.created_at);
    if (!r) return std::unexpected(r.error());

    if (const auto it = doc.find("chain_type"); it != doc.end() && !it->is_null()) {
        auto type = chain_type_from_json(*it);
        if (!type) return std::unexpected(type.error());
        w.chain_type = *type;
    }

    const auto accounts = doc.find("accounts");
    if (accounts == doc.end()) return std::unexpected(missing("accounts"));
    if (!accounts->is_array()) return std::unexpected(invalid_type(*accounts, "a sequence"));
    w.accounts.reserve(accounts->size());
    for (json& entry : *accounts) {
        auto account = account_from_json(entry);
        if (!account) return std::unexpected(account.error());
        w.accounts.push_back(std::move(*account));
    }

    const auto crypto = doc.find("crypto");
    if (crypto == doc.end()) return std::unexpected(missing("crypto"));

    const auto key_type = doc.find("key_type");
    if (key_type == doc.end()) return std::unexpected(missing("key_type"));
    auto kt = key_type_from_json(*key_type);
    if (!kt) return std::unexpected(kt.error());
    w.key_type = *kt;

    // The document is ours: take its generic members instead of copying them.
    w.crypto = std::move(*crypto);
    if (const auto it = doc.find("metadata"); it != doc.end()) w.metadata = std::move(*it);
    return w;
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
