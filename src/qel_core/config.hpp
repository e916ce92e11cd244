#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace qel_core {

struct BackupConfig {
    std::filesystem::path path;
    std::optional<bool> auto_backup;
    std::optional<std::uint32_t> max_backups;

    friend bool operator==(const BackupConfig&, const BackupConfig&) = default;
};

struct Config {
    std::filesystem::path vault_path;  // empty when there is no home directory
    std::map<std::string, std::string> rpc;  // CAIP-2 id -> endpoint URL
    std::map<std::string, nlohmann::json> plugins;
    std::optional<BackupConfig> backup;

    // Built-in defaults; finds the home directory on every call.
    [[nodiscard]] static Config defaults();
    // A fresh copy of the built-in endpoint table (twelve entries).
    [[nodiscard]] static std::map<std::string, std::string> default_rpc();
    // Defaults with <home>/.qel/config.json applied. Never fails.
    [[nodiscard]] static Config load_or_default();
    // Defaults with the given file applied. Never fails: any problem with
    // the file yields the plain defaults, and a file that exists but is not
    // used is named in "warning: ignoring <path>: <reason>": unreadable
    // (the system's error, "not a regular file", "larger than 1 MiB"),
    // not JSON (the parser's error), of the wrong shape ("missing field
    // `vault_path`", "`rpc.<id>`: invalid type: integer `5`, expected a
    // string"), or writable by another user ("it is writable by other
    // users": not owned by this user or root, or writable by group or others).
    [[nodiscard]] static Config load_or_default_from(const std::filesystem::path& path);

    friend bool operator==(const Config&, const Config&) = default;
};

// <home>/.qel, or home_dir()'s error text when there is no home directory.
[[nodiscard]] std::expected<std::filesystem::path, std::string> default_vault_path();

}  // namespace qel_core
