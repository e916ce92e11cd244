#pragma once
// Helpers shared by the test files: vector files, hex, a wallet record, error
// texts, scratch directories, the environment, and running a body in a
// forked child.

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "qel_core/wallet_file.hpp"
#include "qel_signer/encoding.hpp"
#include "qel_signer/secret_bytes.hpp"

namespace fs = std::filesystem;

namespace qel_test {

inline std::string read_text(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

inline void write_text(const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// tests/data/<name> as JSON, or the member of it at a JSON pointer.
inline nlohmann::json load_vectors(const std::string& name, const std::string& pointer = "") {
    return nlohmann::json::parse(read_text(std::string(QEL_TEST_DATA_DIR) + "/" + name))
        .at(nlohmann::json::json_pointer(pointer));
}

inline qel_signer::Bytes unhex(const std::string& text) {
    auto bytes = qel_signer::hex_decode(text);
    EXPECT_TRUE(bytes.has_value()) << text;
    return bytes ? *bytes : qel_signer::Bytes{};
}

inline qel_signer::Bytes to_bytes(std::string_view text) { return {text.begin(), text.end()}; }
inline std::string text_of(const qel_signer::SecretBytes& s) { return {reinterpret_cast<const char*>(s.data()), s.size()}; }
// Each character through ::toupper or ::tolower.
inline std::string mapped(std::string s, int (*f)(int)) {
    for (char& c : s) c = static_cast<char>(f(static_cast<unsigned char>(c)));
    return s;
}

// A wallet record with what a save needs, named "n".
inline qel_core::EncryptedWallet wallet_with_id(std::string id) {
    qel_core::EncryptedWallet w;
    w.id = std::move(id);
    w.name = "n";
    w.created_at = "2025-01-01T00:00:00+00:00";
    w.crypto = {{"cipher", "aes-256-gcm"}};
    return w;
}

// The error text of a failed result, so that one assertion checks both the
// failure and its message.
template <class Result>
std::string error_of(const Result& r) {
    if (r.has_value()) return "<succeeded>";
    if constexpr (requires { r.error().message(); }) {
        return r.error().message();
    } else {
        return std::string(r.error());
    }
}

// Sets (or with nullopt, removes) an environment variable for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
        if (const char* old = std::getenv(name)) saved_ = old;
        set(value);
    }
    ~ScopedEnv() { set(saved_); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    void set(const std::optional<std::string>& v) { v ? ::setenv(name_, v->c_str(), 1) : ::unsetenv(name_); }
    const char* name_;
    std::optional<std::string> saved_;
};

// A fresh private directory per test, removed afterwards.
class TempDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/qel-test-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    fs::path dir_;
};

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
