#include "config.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <limits>
#include <vector>

#include "home.hpp"
#include "json.hpp"

namespace qel_core {

namespace {

using nlohmann::json;

// A configuration file is a few hundred bytes; refuse to slurp anything
// absurd (a device, a huge file) into memory.
constexpr off_t kMaxConfigBytes = 1 << 20;

// Reads the file only if it is still the one `checked` describes, so that it
// cannot be swapped between the ownership check and the read.
std::optional<std::string> read_small_file(const std::filesystem::path& path, const struct stat& checked) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    std::optional<std::string> result;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_dev == checked.st_dev && st.st_ino == checked.st_ino &&
        S_ISREG(st.st_mode) && st.st_size <= kMaxConfigBytes) {
        std::string text;
        char buf[4096];
        for (;;) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) break;
            if (n == 0) {
                result = std::move(text);
                break;
            }
            text.append(buf, static_cast<std::size_t>(n));
            if (text.size() > static_cast<std::size_t>(kMaxConfigBytes)) break;
        }
    }
    ::close(fd);
    return result;
}

// The configuration chooses where transactions are sent, so only this user
// (or root) may have written it, as for the user's own ssh files.
bool written_only_by_owner(const struct stat& st) {
    return (st.st_uid == ::geteuid() || st.st_uid == 0) && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Paths compared component by component, so "/tmp/.qel/", "/tmp//.qel" and
// "/tmp/./.qel" all equal "/tmp/.qel".
std::pair<bool, std::vector<std::string>> components(const std::string& p) {
    std::vector<std::string> parts;
    std::size_t i = 0;
    while (i <= p.size()) {
        std::size_t j = p.find('/', i);
        if (j == std::string::npos) j = p.size();
        std::string part = p.substr(i, j - i);
        if (!part.empty() && part != ".") parts.push_back(std::move(part));
        i = j + 1;
    }
    return {!p.empty() && p.front() == '/', std::move(parts)};
}

bool same_path(const std::string& a, const std::string& b) {
    return components(a) == components(b);
}

// The file's shape; any deviation rejects the whole file.
struct FileConfig {
    std::string vault_path;
    std::map<std::string, std::string> rpc;
    std::map<std::string, json> plugins;
    std::optional<BackupConfig> backup;
};

std::optional<BackupConfig> parse_backup(const json& v, bool& ok) {
    ok = false;
    if (v.is_null()) {
        ok = true;
        return std::nullopt;
    }
    if (!v.is_object()) return std::nullopt;
    BackupConfig backup;
    const auto path = v.find("path");
    if (path == v.end() || !path->is_string()) return std::nullopt;
    backup.path = path->get<std::string>();
    if (const auto it = v.find("auto_backup"); it != v.end() && !it->is_null()) {
        if (!it->is_boolean()) return std::nullopt;
        backup.auto_backup = it->get<bool>();
    }
    if (const auto it = v.find("max_backups"); it != v.end() && !it->is_null()) {
        if (!it->is_number_unsigned() || it->get<std::uint64_t>() > std::numeric_limits<std::uint32_t>::max()) {
            return std::nullopt;
        }
        backup.max_backups = static_cast<std::uint32_t>(it->get<std::uint64_t>());
    }
    ok = true;
    return backup;
}

std::optional<FileConfig> parse_file(std::string_view text) {
    auto parsed = parse_json_strict(text);
    if (!parsed || !parsed->is_object()) return std::nullopt;
    const json& doc = *parsed;
    FileConfig file;

    const auto vault = doc.find("vault_path");
    if (vault == doc.end() || !vault->is_string()) return std::nullopt;
    file.vault_path = vault->get<std::string>();

    if (const auto rpc = doc.find("rpc"); rpc != doc.end()) {
        if (!rpc->is_object()) return std::nullopt;
        for (auto it = rpc->begin(); it != rpc->end(); ++it) {
            if (!it.value().is_string()) return std::nullopt;
            file.rpc[it.key()] = it.value().get<std::string>();
        }
    }
    if (const auto plugins = doc.find("plugins"); plugins != doc.end()) {
        if (!plugins->is_object()) return std::nullopt;
        for (auto it = plugins->begin(); it != plugins->end(); ++it) file.plugins[it.key()] = it.value();
    }
    if (const auto backup = doc.find("backup"); backup != doc.end()) {
        bool ok = false;
        file.backup = parse_backup(*backup, ok);
        if (!ok) return std::nullopt;
    }
    return file;
}

}  // namespace

std::expected<std::filesystem::path, std::string> default_vault_path() {
    auto home = home_dir();
    if (!home) return std::unexpected(home.error());
    return *home / ".qel";
}

std::map<std::string, std::string> Config::default_rpc() {
    return {
        {"eip155:1", "https://eth.llamarpc.com"},
        {"eip155:137", "https://polygon-rpc.com"},
        {"eip155:42161", "https://arb1.arbitrum.io/rpc"},
        {"eip155:10", "https://mainnet.optimism.io"},
        {"eip155:8453", "https://mainnet.base.org"},
        {"eip155:56", "https://bsc-dataseed.bnbchain.org"},
        {"eip155:43114", "https://api.avax.network/ext/bc/C/rpc"},
        {"solana:5eykt4UsFv8P8NJdTREpY1vzqKqZKvdp", "https://api.mainnet-beta.solana.com"},
        {"bip122:000000000019d6689c085ae165831e93", "https://blockstream.info/api"},
        {"cosmos:cosmoshub-4", "https://cosmos-rest.publicnode.com"},
        {"tron:mainnet", "https://api.trongrid.io"},
        {"ton:mainnet", "https://toncenter.com/api/v2"},
    };
}

Config Config::defaults() {
    Config config;
    if (auto vault = default_vault_path()) config.vault_path = std::move(*vault);
    config.rpc = default_rpc();
    return config;
}

Config Config::load_or_default() {
    const auto home = home_dir();
    if (!home) return defaults();
    return load_or_default_from(*home / ".qel" / "config.json");
}

Config Config::load_or_default_from(const std::filesystem::path& path) {
    Config config = defaults();
    try {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) return config;
        if (!written_only_by_owner(st)) {
            std::cerr << "warning: ignoring " << path.string() << ": it is writable by other users\n" << std::flush;
            return config;
        }
        const auto text = read_small_file(path, st);
        if (!text) return config;
        auto file = parse_file(*text);
        if (!file) return config;
        for (auto& [chain_id, url] : file->rpc) config.rpc[chain_id] = std::move(url);
        config.plugins = std::move(file->plugins);
        config.backup = std::move(file->backup);
        if (!file->vault_path.empty() && !same_path(file->vault_path, "/tmp/.qel")) {
            config.vault_path = file->vault_path;
        }
        return config;
    } catch (const std::exception&) {
        // Only allocation can throw here; the defaults are the documented
        // answer to any trouble with the file.
        return defaults();
    }
}

}  // namespace qel_core
