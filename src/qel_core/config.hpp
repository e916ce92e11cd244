#pragma once

#include <cstdint>
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
    std::filesystem::path vault_path;
    std::map<std::string, std::string> rpc;  // CAIP-2 id -> endpoint URL
    std::map<std::string, nlohmann::json> plugins;
    std::optional<BackupConfig> backup;

    // Built-in defaults; reads HOME on every call ("/tmp" when unset or not
    // valid UTF-8).
    [[nodiscard]] static Config defaults();
    // A fresh copy of the built-in endpoint table (twelve entries).
    [[nodiscard]] static std::map<std::string, std::string> default_rpc();
    // Defaults with HOME/.qel/config.json applied. Never fails.
    [[nodiscard]] static Config load_or_default();
    // Defaults with the given file applied. Never fails: any problem with
    // the file yields the plain defaults.
    [[nodiscard]] static Config load_or_default_from(const std::filesystem::path& path);

    friend bool operator==(const Config&, const Config&) = default;
};

// HOME as a path, or "/tmp" when HOME is unset or not valid UTF-8.
[[nodiscard]] std::filesystem::path home_dir();

}  // namespace qel_core
