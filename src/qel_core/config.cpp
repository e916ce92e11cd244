#include "config.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <limits>
#include <vector>

#include "home.hpp"
#include "json.hpp"
#include "os_error.hpp"
#include "shown.hpp"

namespace qel_core {

namespace {

using nlohmann::json;

// A configuration file is a few hundred bytes; refuse to slurp anything
// absurd (a device, a huge file) into memory.
constexpr off_t kMaxConfigBytes = 1 << 20;

// Reads the file only if it is still the one `checked` describes, so that it
// cannot be swapped between the ownership check and the read; else why not.
std::expected<std::string, std::string> read_small_file(const std::filesystem::path& path, const struct stat& checked) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::unexpected(os_error_text(errno));
    std::expected<std::string, std::string> result = std::unexpected(std::string("not a regular file"));
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        result = std::unexpected(os_error_text(errno));
    } else if (st.st_dev != checked.st_dev || st.st_ino != checked.st_ino || !S_ISREG(st.st_mode)) {
        // a device, a FIFO, or a file swapped since it was checked
    } else if (st.st_size > kMaxConfigBytes) {
        result = std::unexpected(std::string("larger than 1 MiB"));
    } else {
        std::string text;
        char buf[4096];
        for (;;) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                result = std::unexpected(os_error_text(errno));
                break;
            }
            if (n == 0) {
                result = std::move(text);
                break;
            }
            text.append(buf, static_cast<std::size_t>(n));
            if (text.size() > static_cast<std::size_t>(kMaxConfigBytes)) {
                result = std::unexpected(std::string("larger than 1 MiB"));
                break;
            }
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

namespace dom = simdjson::dom;

using Problem = std::unexpected<std::string>;

// "`where`: invalid type: <value>, expected <expected>"
Problem wrong_type(std::string_view where, dom::element value, std::string_view expected) {
    return Problem("`" + shown(where) + "`: " + invalid_type(value, expected));
}

// Absent or null gives none; anything but an object with a string "path"
// and well-typed optional members fails.
std::expected<void, std::string> parse_backup(dom::element v, std::optional<BackupConfig>& out) {
    if (v.is_null()) return {};
    dom::object object;
    if (v.get_object().get(object) != simdjson::SUCCESS) return wrong_type("backup", v, "a map");
    BackupConfig backup;
    std::string_view path;
    const auto path_member = find_member(object, "path");
    if (!path_member) return Problem("`backup`: " + missing_field("path"));
    if (path_member->get_string().get(path) != simdjson::SUCCESS) return wrong_type("backup.path", *path_member, "a string");
    backup.path = std::string(path);
    if (const auto it = find_member(object, "auto_backup"); it && !it->is_null()) {
        bool flag = false;
        if (it->get_bool().get(flag) != simdjson::SUCCESS) return wrong_type("backup.auto_backup", *it, "a boolean");
        backup.auto_backup = flag;
    }
    if (const auto it = find_member(object, "max_backups"); it && !it->is_null()) {
        std::uint64_t count = 0;
        if (it->get_uint64().get(count) != simdjson::SUCCESS || count > std::numeric_limits<std::uint32_t>::max()) {
            return wrong_type("backup.max_backups", *it, "an integer from 0 to 4294967295");
        }
        backup.max_backups = static_cast<std::uint32_t>(count);
    }
    out = std::move(backup);
    return {};
}

// The file's configuration, or what is wrong with it.
std::expected<FileConfig, std::string> parse_file(std::string_view text) {
    JsonParser parser(kMaxJsonDepth);
    auto parsed = parser.parse(text);
    if (!parsed) return Problem(parsed.error());
    dom::object doc;
    if (parsed->get_object().get(doc) != simdjson::SUCCESS) return Problem(invalid_type(*parsed, "a map"));
    FileConfig file;

    std::string_view vault;
    const auto vault_member = find_member(doc, "vault_path");
    if (!vault_member) return Problem(missing_field("vault_path"));
    if (vault_member->get_string().get(vault) != simdjson::SUCCESS) {
        return wrong_type("vault_path", *vault_member, "a string");
    }
    file.vault_path = std::string(vault);

    if (const auto rpc = find_member(doc, "rpc")) {
        dom::object entries;
        if (rpc->get_object().get(entries) != simdjson::SUCCESS) return wrong_type("rpc", *rpc, "a map");
        for (const dom::key_value_pair entry : entries) {
            std::string_view url;
            if (entry.value.get_string().get(url) != simdjson::SUCCESS) {
                return wrong_type("rpc." + std::string(entry.key), entry.value, "a string");
            }
            file.rpc[std::string(entry.key)] = std::string(url);
        }
    }
    if (const auto plugins = find_member(doc, "plugins")) {
        dom::object entries;
        if (plugins->get_object().get(entries) != simdjson::SUCCESS) return wrong_type("plugins", *plugins, "a map");
        for (const dom::key_value_pair entry : entries) file.plugins[std::string(entry.key)] = to_generic(entry.value);
    }
    if (const auto backup = find_member(doc, "backup")) {
        if (auto ok = parse_backup(*backup, file.backup); !ok) return Problem(ok.error());
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
    // A file that is there but not used would send transactions elsewhere
    // than its owner meant without a word: say so, once per load.
    // One write per line, so that warnings from calls on several threads do
    // not interleave.
    const auto ignoring = [&](std::string_view reason) {
        const std::string line = "warning: ignoring " + shown(path.string()) + ": " + std::string(reason) + "\n";
        std::fwrite(line.data(), 1, line.size(), stderr);
        std::fflush(stderr);
        return defaults();
    };
    try {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) {
            if (errno == ENOENT || errno == ENOTDIR) return config;
            return ignoring(os_error_text(errno));
        }
        if (!written_only_by_owner(st)) return ignoring("it is writable by other users");
        const auto text = read_small_file(path, st);
        if (!text) return ignoring(text.error());
        auto file = parse_file(*text);
        if (!file) return ignoring(file.error());
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
