#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

namespace qel_test {

// Runs `body` (returning a string) in a forked child, so that changing the
// environment or the user leaves the test process alone, and returns the
// text the child produced.
template <class Body>
std::string in_child(Body body) {
    int fds[2];
    if (::pipe(fds) != 0) return "pipe failed";
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        const std::string out = body();
        const bool ok = ::write(fds[1], out.data(), out.size()) == static_cast<ssize_t>(out.size());
        ::_exit(ok ? 0 : 1);
    }
    ::close(fds[1]);
    std::string out;
    char buf[256];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<std::size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    return out;
}

// Only root can become another user or give a file away.
inline bool can_change_owners() { return ::geteuid() == 0; }

}  // namespace qel_test
