#include "home.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <vector>

#include "call_context.hpp"
#include "utf8.hpp"

namespace qel_core {

namespace {

// The password database's home of `uid`, if it names an absolute directory.
std::optional<std::filesystem::path> passwd_home(uid_t uid) {
    const long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(hint > 0 ? static_cast<std::size_t>(hint) : 4096);
    for (;;) {
        passwd entry{};
        passwd* found = nullptr;
        const int rc = ::getpwuid_r(uid, &entry, buf.data(), buf.size(), &found);
        if (rc == ERANGE && buf.size() < (std::size_t{1} << 20)) {
            buf.resize(buf.size() * 2);
            continue;
        }
        if (rc != 0 || found == nullptr || entry.pw_dir == nullptr || entry.pw_dir[0] != '/') return std::nullopt;
        return std::filesystem::path(entry.pw_dir);
    }
}

}  // namespace

std::expected<std::filesystem::path, std::string> home_dir() {
    const auto home = environment_variable("HOME");
    const char* problem = !home                   ? "is not set"
                          : home->empty()          ? "is empty"
                          : !is_valid_utf8(*home)  ? "is not valid UTF-8"
                                                   : nullptr;
    if (problem == nullptr) return std::filesystem::path(*home);
    const uid_t uid = ::getuid();
    if (auto from_passwd = passwd_home(uid)) return std::move(*from_passwd);
    return std::unexpected("cannot find the home directory: HOME " + std::string(problem) + " and user " +
                           std::to_string(uid) + " has none");
}

}  // namespace qel_core
