#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "qel_lib/ops.hpp"
#include "qel_signer/encoding.hpp"

namespace {

namespace fs = std::filesystem;
using qel_lib::QelLibError;
namespace ops = qel_lib::ops;

std::string read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Puts a fake `curl` (a shell script) first on PATH for the test's duration.
class FakeCurl : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("qel-curl-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        const char* old = std::getenv("PATH");
        old_path_ = old ? old : "";
        ::setenv("PATH", dir_.c_str(), 1);
    }
    void TearDown() override {
        ::setenv("PATH", old_path_.c_str(), 1);
        fs::remove_all(dir_);
    }
    void install(const std::string& body) {
        const fs::path script = dir_ / "curl";
        std::ofstream(script) << "#!/bin/sh\n" << body;
        ::chmod(script.c_str(), 0755);
    }
    fs::path dir_;
    std::string old_path_;
};

TEST_F(FakeCurl, PassesExactArgumentsAndEmptyStdin) {
    install("for a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" + (dir_ / "args").string() +
            "'\n/bin/cat > '" + (dir_ / "stdin").string() + "'\nprintf 'reply body'\n");
    auto reply = ops::curl_post_json("http://127.0.0.1:1/x y", "{\"a\": 1}");
    ASSERT_TRUE(reply) << reply.error().message();
    EXPECT_EQ(*reply, "reply body");
    EXPECT_EQ(read_file(dir_ / "args"),
              "-fsSL\n-X\nPOST\n-H\nContent-Type: application/json\n-d\n{\"a\": 1}\nhttp://127.0.0.1:1/x y\n");
    EXPECT_EQ(read_file(dir_ / "stdin"), "");
}

TEST_F(FakeCurl, NonZeroExitReportsStderrUnchanged) {
    install("printf 'partial'\nprintf 'curl: (22) The requested URL returned error: 500\\n' >&2\nexit 22\n");
    auto reply = ops::curl_post_json("http://x", "{}");
    ASSERT_FALSE(reply);
    EXPECT_EQ(reply.error().kind(), QelLibError::Kind::BroadcastFailed);
    EXPECT_EQ(reply.error().message(), "broadcast failed: curl: (22) The requested URL returned error: 500\n");
}

// Both pipes are drained together: a child that fills stderr before writing
// stdout must not deadlock.
TEST_F(FakeCurl, LargeOutputOnBothStreams) {
    install("i=0; while [ $i -lt 2000 ]; do printf '%0500d\\n' $i >&2; printf '%0500d\\n' $i; i=$((i+1)); done\n");
    auto reply = ops::curl_post_json("http://x", "{}");
    ASSERT_TRUE(reply) << reply.error().message();
    EXPECT_EQ(reply->size(), 2000u * 501u);
}

TEST_F(FakeCurl, InvalidUtf8IsReplaced) {
    install("printf 'a\\377b\\342\\202'\n");
    auto reply = ops::curl_post_json("http://x", "{}");
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
}

TEST_F(FakeCurl, MissingCurl) {
    auto reply = ops::curl_post_json("http://x", "{}");
    ASSERT_FALSE(reply);
    EXPECT_EQ(reply.error().message(),
              "broadcast failed: failed to run curl: No such file or directory (os error 2)");
}

TEST_F(FakeCurl, EvmAndSolanaRequestBodies) {
    install("shift 6; printf '%s' \"$1\" > '" + (dir_ / "body").string() + "'\nprintf '{\"result\":\"0xabc\"}'\n");
    const qel_signer::Bytes tx{0x02, 0xAB, 0xFF};
    auto hash = ops::broadcast(qel_core::ChainType::Evm, "http://x", tx);
    ASSERT_TRUE(hash) << hash.error().message();
    EXPECT_EQ(*hash, "0xabc");
    EXPECT_EQ(read_file(dir_ / "body"),
              R"({"id":1,"jsonrpc":"2.0","method":"eth_sendRawTransaction","params":["0x02abff"]})");

    hash = ops::broadcast(qel_core::ChainType::Solana, "http://x", tx);
    ASSERT_TRUE(hash);
    EXPECT_EQ(read_file(dir_ / "body"),
              R"({"id":1,"jsonrpc":"2.0","method":"sendTransaction","params":["Aqv/",{"encoding":"base64"}]})");
}

// Families without a transaction encoder fail before any request is made.
TEST_F(FakeCurl, NoRequestWithoutEncoder) {
    install(": >> '" + (dir_ / "ran").string() + "'\n");
    const qel_signer::Bytes key(32, 0x11);
    const qel_signer::Bytes tx{1, 2, 3};
    for (const char* chain : {"cosmos", "bitcoin", "tron", "ton"}) {
        auto r = ops::sign_encode_and_broadcast(key, chain, tx, std::string_view("http://x"));
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().message(),
                  std::string("invalid transaction: encode_signed_transaction not implemented for ") + chain);
    }
    EXPECT_FALSE(fs::exists(dir_ / "ran"));
}

TEST(ExtractJsonField, Replies) {
    struct Case {
        const char* reply;
        const char* expected;  // result, or the error's display text
        bool ok;
    };
    const Case cases[] = {
        {R"({"jsonrpc":"2.0","id":1,"result":"0xdead"})", "0xdead", true},
        {R"({"result":"x","error":null})", "broadcast failed: RPC error: null", false},
        {R"({"error":{"message":"nonce too low","code":-32000}})",
         R"(broadcast failed: RPC error: {"code":-32000,"message":"nonce too low"})", false},
        {R"({"error":"plain"})", R"(broadcast failed: RPC error: "plain")", false},
        {R"({"result":null})", R"(broadcast failed: no 'result' in response: {"result":null})", false},
        {R"({"result":5} )", R"(broadcast failed: no 'result' in response: {"result":5} )", false},
        {R"(["result"])", R"(broadcast failed: no 'result' in response: ["result"])", false},
    };
    for (const Case& c : cases) {
        auto r = ops::extract_json_field(c.reply, "result");
        if (c.ok) {
            ASSERT_TRUE(r) << c.reply;
            EXPECT_EQ(*r, c.expected);
        } else {
            ASSERT_FALSE(r) << c.reply;
            EXPECT_EQ(r.error().message(), c.expected);
        }
    }
}

TEST(ExtractJsonField, HostileRepliesAreJsonErrors) {
    for (const std::string& reply : {std::string("<html>502</html>"), std::string(""),
                                    std::string(100000, '[') + std::string(100000, ']')}) {
        auto r = ops::extract_json_field(reply, "result");
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().kind(), QelLibError::Kind::Json);
        EXPECT_TRUE(r.error().message().starts_with("JSON error: ")) << r.error().message();
    }
}

// curl would read these as options or expand them into several requests.
TEST_F(FakeCurl, UrlsCurlWouldMisreadNeverReachIt) {
    install(": >> '" + (dir_ / "ran").string() + "'\n");
    const std::pair<const char*, const char*> refused[] = {
        {"-K/tmp/x", "begins with '-'"},
        {"-ohttp://x", "begins with '-'"},
        {"--next", "begins with '-'"},
        {"http://h/{a,b}", "contains '{'"},
        {"http://h/a}", "contains '}'"},
        {"http://h/[1-5]", "contains '['"},
        {"http://h/x]", "contains ']'"},
        {"http://[::1]:1/[1-2]", "contains '['"},
        {"http://[a-b]/", "contains '['"},          // not an IPv6 address
        {"http://[]/", "contains '['"},
        {"http://x@[::1]@y/", "contains '['"},      // the host is y
        {"http://[::1", "contains '['"},
    };
    for (const auto& [url, why] : refused) {
        const auto r = ops::curl_post_json(url, "{}");
        ASSERT_FALSE(r) << url;
        EXPECT_EQ(r.error().message(), std::string("broadcast failed: invalid RPC URL: '") + url + "' " + why);
    }
    EXPECT_FALSE(fs::exists(dir_ / "ran"));

    for (const char* url : {"", "http://[::1]:8545/", "https://u:p@[2001:db8::1]/v1?k=a-b", "[::ffff:127.0.0.1]:80",
                            "http://h/-x"}) {
        EXPECT_TRUE(ops::curl_post_json(url, "{}")) << url;
    }
    EXPECT_TRUE(fs::exists(dir_ / "ran"));
}

TEST_F(FakeCurl, StopAskedBeforeCurlStartsSendsNothing) {
    install(": >> '" + (dir_ / "ran").string() + "'\n");
    const auto r = ops::curl_post_json("http://h/", "{}", [] { return true; });
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), QelLibError::Kind::Interrupted);
    EXPECT_FALSE(fs::exists(dir_ / "ran"));
}

// Accepts connections (the kernel completes them) but never answers.
class SilentListener {
public:
    SilentListener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(fd_, 8) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            ADD_FAILURE() << "loopback listener";
        }
        url_ = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/";
    }
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;
    ~SilentListener() { ::close(fd_); }
    const std::string& url() const { return url_; }

private:
    int fd_ = -1;
    std::string url_;
};

bool has_children() {
    return !(::waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD);
}

TEST(CurlWait, TimeLimitKillsAndReapsCurl) {
    const SilentListener server;
    const auto r = ops::curl_post_json(server.url(), "{}", {}, std::chrono::seconds(2));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "broadcast failed: curl did not finish within 2 seconds");
    EXPECT_FALSE(has_children());
}

// The stop check is asked again and again while curl waits (a missed check
// would run into the 60 s limit instead), and stops it for good.
TEST(CurlWait, StopCheckKillsAndReapsCurl) {
    const SilentListener server;
    int asked = 0;
    const auto r = ops::curl_post_json(server.url(), "{}", [&asked] { return ++asked == 5; }, std::chrono::seconds(60));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), QelLibError::Kind::Interrupted);
    EXPECT_EQ(asked, 5);
    EXPECT_FALSE(has_children());
}

TEST(ExtractJsonField, NestingLimitIs128Levels) {
    const auto nested = [](int levels) {  // the object is the first level
        return R"({"result":"0x1","x":)" + std::string(levels - 1, '[') + std::string(levels - 1, ']') + "}";
    };
    EXPECT_EQ(ops::extract_json_field(nested(128), "result").value(), "0x1");
    EXPECT_EQ(ops::extract_json_field(nested(129), "result").error().message(), "JSON error: recursion limit exceeded");
}

}  // namespace
