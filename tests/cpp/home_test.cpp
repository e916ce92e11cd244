#include "qel_core/home.hpp"

#include <pwd.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "in_child.hpp"

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
    struct Case {
        std::optional<std::string> home;
        std::optional<uid_t> uid;
        std::string expected;
    };
    const Case cases[] = {
        {"/srv/someone", std::nullopt, "/srv/someone"},
        {std::nullopt, std::nullopt, own},
        {"", std::nullopt, own},
        {"/home/\xff", std::nullopt, own},
        {"/srv/someone", stranger, "/srv/someone"},
        {std::nullopt, stranger, "error: cannot find the home directory: HOME is not set" + none},
        {"", stranger, "error: cannot find the home directory: HOME is empty" + none},
        {"/home/\xff", stranger, "error: cannot find the home directory: HOME is not valid UTF-8" + none},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        if (c.uid && !qel_test::can_change_owners()) continue;
        EXPECT_EQ(qel_test::in_child([&] {
                      if (c.home) {
                          ::setenv("HOME", c.home->c_str(), 1);
                      } else {
                          ::unsetenv("HOME");
                      }
                      if (c.uid && ::setresuid(*c.uid, *c.uid, *c.uid) != 0) return std::string("setresuid failed");
                      auto home = qel_core::home_dir();
                      return home ? home->string() : "error: " + home.error();
                  }),
                  c.expected);
    }
}

}  // namespace
