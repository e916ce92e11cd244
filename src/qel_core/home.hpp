#pragma once

#include <expected>
#include <filesystem>
#include <string>

namespace qel_core {

// The user's home directory: HOME when it is set, not empty and valid UTF-8;
// otherwise the home of the process's real user in the password database, as
// shells do. Never a shared or relative stand-in: without either, fails with
// "cannot find the home directory: HOME is not set and user <uid> has none"
// (or "is empty", "is not valid UTF-8" in place of "is not set").
[[nodiscard]] std::expected<std::filesystem::path, std::string> home_dir();

}  // namespace qel_core
