#include "qel_core/home.hpp"

#include <pwd.h>
#include <unistd.h>

#include "support.hpp"

namespace {

// A uid that the password database does not know.
uid_t uid_without_entry() {
    uid_t uid = 40000;
    while (::getpwuid(uid) != nullptr) ++uid;
    return uid;
}

TEST(HomeDir, HomeWhenUsableElseThePasswordDatabase) {
    const std::string own = ::getpwuid(::getuid())->pw_dir;
    const uid_t stranger = uid_without_entry();
    const std::string none = " and user " + std::to_string(stranger) + " has none";
    const std::tuple<std::optional<std::string>, std::optional<uid_t>, std::string> cases[] = {  // HOME, user
        {"/srv/someone", std::nullopt, "/srv/someone"},
        {std::nullopt, std::nullopt, own},
        {"", std::nullopt, own},
        {"/home/\xff", std::nullopt, own},
        {std::nullopt, stranger, "error: cannot find the home directory: HOME is not set" + none},
        {"", stranger, "error: cannot find the home directory: HOME is empty" + none},
        {"/home/\xff", stranger, "error: cannot find the home directory: HOME is not valid UTF-8" + none},
    };
    for (const auto& [home, uid, expected] : cases) {
        if (uid && !qel_test::can_change_owners()) continue;
        EXPECT_EQ(qel_test::in_child([&] {
                      qel_test::ScopedEnv env("HOME", home);
                      if (uid && ::setresuid(*uid, *uid, *uid) != 0) return std::string("setresuid failed");
                      auto dir = qel_core::home_dir();
                      return dir ? dir->string() : "error: " + dir.error();
                  }),
                  expected);
    }
}

}  // namespace
