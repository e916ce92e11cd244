// One POST through curl_post_json against a bare spawn-read-wait of the same
// program, measured in the same run: the endpoint checks and the sliced,
// interruptible wait should add nothing a caller can notice. The program is a
// stand-in `curl` (a shell script that prints a reply), so that the network
// plays no part.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "paired.hpp"
#include "qel_lib/ops.hpp"

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr const char* kReply = R"({"jsonrpc":"2.0","id":1,"result":"0x1"})";

// Spawns curl from PATH with its output on a pipe, reads it all, waits.
std::string bare_spawn() {
    int fds[2];
    if (::pipe(fds) != 0) std::abort();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    std::array<char*, 2> argv{const_cast<char*>("curl"), nullptr};
    pid_t pid = -1;
    if (::posix_spawnp(&pid, "curl", &actions, nullptr, argv.data(), environ) != 0) std::abort();
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    std::string out;
    std::array<char, 4096> buf{};
    for (ssize_t n; (n = ::read(fds[0], buf.data(), buf.size())) > 0;) out.append(buf.data(), static_cast<size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return out;
}

void BM_CurlPostJson(benchmark::State& state) {
    const fs::path dir = fs::temp_directory_path() / ("qel-bench-curl-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::ofstream(dir / "curl") << "#!/bin/sh\nprintf '%s' '" << kReply << "'\n";
    fs::permissions(dir / "curl", fs::perms::owner_all);
    const std::string old_path = std::getenv("PATH") ? std::getenv("PATH") : "";
    ::setenv("PATH", (dir.string() + ":" + old_path).c_str(), 1);
    const std::string body = R"({"id":1,"jsonrpc":"2.0","method":"eth_sendRawTransaction","params":["0x02c0"]})";
    qel_bench::paired(
        state, 300,
        [&] {
            auto reply = qel_lib::ops::curl_post_json("http://[::1]:8545/", body);
            if (!reply || *reply != kReply) std::abort();
        },
        [] {
            if (bare_spawn() != kReply) std::abort();
        });
    ::setenv("PATH", old_path.c_str(), 1);
    fs::remove_all(dir);
}
BENCHMARK(BM_CurlPostJson)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
