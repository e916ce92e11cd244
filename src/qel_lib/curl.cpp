// One JSON POST through the external curl program: the endpoint checks that
// keep a URL from turning into curl options or several requests, and a wait
// for the child that is bounded in time and can be abandoned by the caller.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <optional>
#include <utility>
#include <vector>

#include "ops.hpp"
#include "qel_core/call_context.hpp"
#include "qel_core/os_error.hpp"
#include "qel_core/shown.hpp"
#include "qel_core/utf8.hpp"

namespace qel_lib::ops {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;
using std::chrono::milliseconds;

// Replies are hostile input: cap what we keep of curl's output so that an
// endless or enormous body cannot exhaust memory. A node answers a
// transaction in a few hundred bytes; 1 MiB leaves room for an error page,
// and keeps the reply's parsing (a generic JSON value takes several times
// its text) small.
constexpr std::size_t kMaxCapture = 1024 * 1024;
// The longest the caller's stop check and the time limit go unconsulted.
constexpr milliseconds kPollSlice{100};
// Redirects curl follows: a redirect loop would otherwise post the same
// transaction again and again.
constexpr int kMaxRedirects = 3;

struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    void reset() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
};

struct SpawnActions {
    posix_spawn_file_actions_t actions;
    SpawnActions() { posix_spawn_file_actions_init(&actions); }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    ~SpawnActions() { posix_spawn_file_actions_destroy(&actions); }
};

// The running curl. Whatever way the wait ends, the child is killed if still
// running and always reaped: no stray process, no zombie.
class Child {
public:
    explicit Child(pid_t pid) : pid_(pid) {}
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() { kill_and_reap(); }

    // True once the child has exited and been reaped (its status in status());
    // an OS error number if it cannot be waited for.
    std::expected<bool, int> try_reap() {
        if (pid_ < 0) return true;
        const pid_t r = ::waitpid(pid_, &status_, WNOHANG);
        if (r == 0) return false;
        if (r < 0) {
            if (errno == EINTR) return false;
            pid_ = -1;  // gone (for instance reaped by an ignored SIGCHLD): never signal that pid again
            return std::unexpected(errno);
        }
        pid_ = -1;
        return true;
    }

    void kill_and_reap() noexcept {
        if (pid_ < 0) return;
        ::kill(pid_, SIGKILL);
        while (::waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }

    [[nodiscard]] int status() const { return status_; }

private:
    pid_t pid_;
    int status_ = 0;
};

QelLibError spawn_error(int err) {
    return QelLibError::broadcast_failed("failed to run curl: " + qel_core::os_error_text(err));
}

// The host part of a URL: after "scheme://" when there is one (curl guesses a
// scheme when there is not) and after any "user@".
std::size_t host_start(std::string_view url) {
    const auto scheme_char = [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
    };
    std::size_t start = 0;
    const auto sep = url.find("://");
    if (sep != std::string_view::npos && sep > 0 && std::all_of(url.begin(), url.begin() + sep, scheme_char)) {
        start = sep + 3;
    }
    const std::string_view authority = url.substr(start, url.find_first_of("/?#", start) - start);
    if (const auto at = authority.rfind('@'); at != std::string_view::npos) start += at + 1;
    return start;
}

// The positions of the brackets of an IPv6 host literal ("[::1]"), if the URL
// has one.
std::optional<std::pair<std::size_t, std::size_t>> ipv6_brackets(std::string_view url) {
    const std::size_t open = host_start(url);
    if (open >= url.size() || url[open] != '[') return std::nullopt;
    const std::size_t close = url.find(']', open);
    if (close == std::string_view::npos) return std::nullopt;
    const std::string_view inside = url.substr(open + 1, close - open - 1);
    const bool address = inside.find(':') != std::string_view::npos &&
                         std::all_of(inside.begin(), inside.end(), [](char c) {
                             return std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.';
                         });
    if (!address) return std::nullopt;
    return std::pair{open, close};
}

// The file that running `name` through PATH starts, searched as execvp does
// (an empty entry is the working directory; without PATH, /bin and /usr/bin),
// in the call's own copy of the environment: the process environment may be
// changed by another thread meanwhile. An OS error number when there is none.
std::expected<std::string, int> find_program(std::string_view name) {
    const auto path = qel_core::environment_variable("PATH");
    const std::string_view dirs = path ? std::string_view(*path) : std::string_view("/bin:/usr/bin");
    int err = ENOENT;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = std::min(dirs.find(':', start), dirs.size());
        const std::string_view dir = dirs.substr(start, end - start);
        std::string candidate = (dir.empty() ? std::string(".") : std::string(dir)) + "/" + std::string(name);
        struct stat st {};
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            if (::access(candidate.c_str(), X_OK) == 0) return candidate;
            err = EACCES;
        }
        if (end == dirs.size()) return std::unexpected(err);
        start = end + 1;
    }
}

int poll_timeout_ms(Clock::time_point deadline, milliseconds cap) {
    const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::clamp(left, milliseconds{0}, cap).count());
}

// Sleeps for `wait` but not past `deadline`; a signal ends it early.
void sleep_until_at_most(Clock::time_point deadline, microseconds wait) {
    const auto left = std::chrono::duration_cast<microseconds>(deadline - Clock::now());
    const auto us = std::clamp(left, microseconds{0}, wait).count();
    const timespec ts{.tv_sec = static_cast<time_t>(us / 1000000), .tv_nsec = static_cast<long>(us % 1000000) * 1000};
    ::ppoll(nullptr, 0, &ts, nullptr);
}

}  // namespace

// Only http and https: curl also speaks file, ftp, gopher, dict and more,
// which an endpoint from a file or a caller must not reach. The URL goes to
// curl in a configuration line, where a control character would end it, and
// curl expands "{a,b}" and "[1-5]" in a URL into one request each.
std::expected<void, QelLibError> check_rpc_url(std::string_view url) {
    const auto refuse = [url](std::string_view why) {
        return std::unexpected(
            QelLibError::broadcast_failed("invalid RPC URL: '" + qel_core::shown(url) + "' " + std::string(why)));
    };
    const auto lower = [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); };
    std::string scheme(url.substr(0, url.find("://") == std::string_view::npos ? 0 : url.find("://") + 3));
    std::transform(scheme.begin(), scheme.end(), scheme.begin(), lower);
    if (scheme != "http://" && scheme != "https://") return refuse("is not an http:// or https:// URL");
    if (std::any_of(url.begin(), url.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; })) {
        return refuse("contains a control character");
    }
    const auto brackets = ipv6_brackets(url);
    for (std::size_t i = 0; i < url.size(); ++i) {
        const char c = url[i];
        if (c != '{' && c != '}' && c != '[' && c != ']') continue;
        if (brackets && (i == brackets->first || i == brackets->second)) continue;
        return refuse(std::string("contains '") + c + "'");
    }
    return {};
}

namespace {

// A value of curl's configuration syntax: double quotes, with backslash
// escapes for the quote and the backslash.
std::string config_value(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

// What curl is asked to do, given on its standard input rather than in its
// argument vector, which every local user can read in /proc while curl runs
// (endpoint URLs carry API keys). Redirects are followed, a few, and only to
// http and https.
std::string curl_config(std::string_view url, std::string_view body, std::string_view content_type,
                        bool error_body) {
    return std::string(error_body ? "fail-with-body" : "fail") + "\nsilent\nshow-error\nlocation\nmax-redirs = " +
           std::to_string(kMaxRedirects) + "\nproto = \"=http,https\"\nproto-redir = \"=http,https\"\nrequest = \"POST\"\n"
           "header = " + config_value("Content-Type: " + std::string(content_type)) + "\ndata-raw = " +
           config_value(body) + "\nurl = " + config_value(url) + "\n";
}

// Runs one POST. With `error_body`, an HTTP error status is not a failure:
// curl is told to keep the body (--fail-with-body) and its exit status 22
// comes back as a reply with http_error set.
std::expected<HttpReply, QelLibError> run_post(std::string_view url, std::string_view body,
                                               std::string_view content_type, bool error_body,
                                               const StopRequested& caller_stop, std::chrono::seconds time_limit) {
    if (auto checked = check_rpc_url(url); !checked) return std::unexpected(checked.error());
    const auto stop_requested = [&caller_stop] {
        return (caller_stop && caller_stop()) || qel_core::stop_requested();
    };
    // A Ctrl-C that came while the transaction was being signed stops it
    // before curl could send anything.
    if (stop_requested()) return std::unexpected(QelLibError::interrupted());
    const auto deadline = Clock::now() + time_limit;

    int out_pipe[2];
    int err_pipe[2];
    if (::pipe2(out_pipe, O_CLOEXEC) != 0) return std::unexpected(spawn_error(errno));
    Fd out_read(out_pipe[0]);
    Fd out_write(out_pipe[1]);
    if (::pipe2(err_pipe, O_CLOEXEC) != 0) return std::unexpected(spawn_error(errno));
    Fd err_read(err_pipe[0]);
    Fd err_write(err_pipe[1]);

    // curl's configuration goes through a socket rather than a pipe, so that
    // writing to a curl that has gone raises no SIGPIPE (MSG_NOSIGNAL).
    int in_pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in_pair) != 0) {
        return std::unexpected(spawn_error(errno));
    }
    Fd in_write(in_pair[0]);
    Fd in_read(in_pair[1]);
    const std::string config = curl_config(url, body, content_type, error_body);
    std::string_view unsent = config;

    SpawnActions spawn;
    posix_spawn_file_actions_adddup2(&spawn.actions, in_read.fd, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&spawn.actions, out_write.fd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&spawn.actions, err_write.fd, STDERR_FILENO);

    std::array<char*, 4> argv{const_cast<char*>("curl"), const_cast<char*>("-K"), const_cast<char*>("-"), nullptr};
    const auto program = find_program("curl");
    if (!program) return std::unexpected(spawn_error(program.error()));
    pid_t pid = -1;
    const int spawn_err =
        ::posix_spawn(&pid, program->c_str(), &spawn.actions, nullptr, argv.data(), qel_core::environment_block());
    in_read.reset();
    out_write.reset();
    err_write.reset();
    if (spawn_err != 0) return std::unexpected(spawn_error(spawn_err));
    Child child(pid);

    // Drain both pipes together: a child blocked on a full stderr pipe while
    // we wait on stdout (or the reverse) would never finish. Every wait is
    // short, so that the caller's stop check and the time limit are consulted
    // promptly; a signal that interrupts a wait only brings the check sooner.
    std::string out;
    std::string err;
    std::array<pollfd, 3> fds{pollfd{out_read.fd, POLLIN, 0}, pollfd{err_read.fd, POLLIN, 0},
                              pollfd{in_write.fd, POLLOUT, 0}};
    std::array<std::string*, 2> sinks{&out, &err};
    int open_count = 2;
    std::array<char, 65536> buf{};
    microseconds exit_wait{50};
    for (;;) {
        if (stop_requested()) return std::unexpected(QelLibError::interrupted());
        if (open_count == 0) {
            // Both pipes closed: curl is exiting; look for its status, backing
            // off from 50 us so that a normal exit is seen at once.
            const auto reaped = child.try_reap();
            if (!reaped) return std::unexpected(spawn_error(reaped.error()));
            if (*reaped) break;
        }
        if (Clock::now() >= deadline) {
            return std::unexpected(QelLibError::broadcast_failed("curl did not finish within " +
                                                                 std::to_string(time_limit.count()) + " seconds"));
        }
        if (open_count == 0) {
            sleep_until_at_most(deadline, exit_wait);
            exit_wait = std::min<microseconds>(exit_wait * 2, kPollSlice);
            continue;
        }
        const int ready = ::poll(fds.data(), fds.size(), poll_timeout_ms(deadline, kPollSlice));
        if (ready < 0 && errno != EINTR) return std::unexpected(spawn_error(errno));
        if (ready <= 0) continue;
        if (fds[2].fd >= 0 && fds[2].revents != 0) {
            const ssize_t n = ::send(in_write.fd, unsent.data(), unsent.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) unsent.remove_prefix(static_cast<std::size_t>(n));
            // Sent in full (its end is the end of the configuration), or curl stopped reading.
            if (unsent.empty() || (n < 0 && errno != EINTR && errno != EAGAIN)) {
                fds[2].fd = -1;
                in_write.reset();
            }
        }
        for (std::size_t i = 0; i < sinks.size(); ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            const ssize_t n = ::read(fds[i].fd, buf.data(), buf.size());
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) {
                fds[i].fd = -1;
                --open_count;
                continue;
            }
            if (sinks[i]->size() + static_cast<std::size_t>(n) > kMaxCapture) {
                return std::unexpected(
                    QelLibError::broadcast_failed("reply larger than " + std::to_string(kMaxCapture) + " bytes"));
            }
            sinks[i]->append(buf.data(), static_cast<std::size_t>(n));
        }
    }
    const int status = child.status();
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return HttpReply{false, qel_core::utf8_lossy(out)};
    if (error_body && WIFEXITED(status) && WEXITSTATUS(status) == 22) return HttpReply{true, qel_core::utf8_lossy(out)};
    // A Ctrl-C at a terminal reaches curl too; the caller's own interruption
    // then explains the failure better than curl's (empty) error output.
    if (WIFSIGNALED(status) && stop_requested()) return std::unexpected(QelLibError::interrupted());
    return std::unexpected(QelLibError::broadcast_failed(qel_core::utf8_lossy(err)));
}

}  // namespace

std::expected<std::string, QelLibError> curl_post_json(std::string_view url, std::string_view body,
                                                       const StopRequested& stop_requested,
                                                       std::chrono::seconds time_limit) {
    auto reply = run_post(url, body, "application/json", false, stop_requested, time_limit);
    if (!reply) return std::unexpected(reply.error());
    return std::move(reply->body);
}

std::expected<HttpReply, QelLibError> curl_post(std::string_view url, std::string_view body,
                                                std::string_view content_type, const StopRequested& stop_requested,
                                                std::chrono::seconds time_limit) {
    return run_post(url, body, content_type, true, stop_requested, time_limit);
}

}  // namespace qel_lib::ops
