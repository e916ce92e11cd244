// Running curl and reading its reply. Requests, replies and endpoints as a
// caller sees them are tested through the Python package; these are the
// parts of the unit that no endpoint reaches.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "qel_core/shown.hpp"
#include "qel_lib/ops.hpp"
#include "support.hpp"

namespace {

namespace ops = qel_lib::ops;
using qel_test::error_of;
using qel_test::read_text;

// Puts a stand-in `curl` (a shell script) alone on PATH for the test's duration.
class FakeCurl : public qel_test::TempDirTest {
protected:
    void install(const std::string& body) {
        qel_test::write_text(dir_ / "curl", "#!/bin/sh\n" + body);
        ::chmod((dir_ / "curl").c_str(), 0755);
    }
    std::string in_dir(const char* name) { return "'" + (dir_ / name).string() + "'"; }
    qel_test::ScopedEnv path_{"PATH", "/nonexistent"};
    void SetUp() override {
        TempDirTest::SetUp();
        ::setenv("PATH", dir_.c_str(), 1);
    }
};

TEST_F(FakeCurl, GivesTheRequestOnStandardInputAndRepairsTheReply) {
    EXPECT_EQ(error_of(ops::curl_post_json("http://x", "{}")),
              "broadcast failed: failed to run curl: No such file or directory (os error 2)");
    install("for a in \"$@\"; do printf '%s\\n' \"$a\"; done > " + in_dir("args") + "\n/bin/cat > " +
            in_dir("stdin") + "\nprintf 'reply \\377body'\n");
    EXPECT_EQ(ops::curl_post_json("http://127.0.0.1:1/x y?k=\"\\", "{\"a\": \"\\\"\"}").value(),
              "reply \xEF\xBF\xBD" "body");
    EXPECT_EQ(read_text(dir_ / "args"), "-K\n-\n");
    EXPECT_EQ(read_text(dir_ / "stdin"),
              "fail\nsilent\nshow-error\nlocation\nmax-redirs = 3\nproto = \"=http,https\"\nproto-redir = \"=http,https\"\n"
              "request = \"POST\"\nheader = \"Content-Type: application/json\"\n"
              "data-raw = \"{\\\"a\\\": \\\"\\\\\\\"\\\"}\"\nurl = \"http://127.0.0.1:1/x y?k=\\\"\\\\\"\n");
    // A body larger than a socket's buffer goes through whole.
    const std::string big(1 << 20, 'b');
    EXPECT_TRUE(ops::curl_post_json("http://h/", big).has_value());
    EXPECT_NE(read_text(dir_ / "stdin").find("data-raw = \"" + big + "\"\n"), std::string::npos);
}

// Both pipes are drained together: a child that fills stderr before writing
// stdout must not deadlock.
TEST_F(FakeCurl, LargeOutputOnBothStreams) {
    install("i=0; while [ $i -lt 2000 ]; do printf '%0500d\\n' $i >&2; printf '%0500d\\n' $i; i=$((i+1)); done\n");
    auto reply = ops::curl_post_json("http://x", "{}");
    ASSERT_TRUE(reply) << reply.error().message();
    EXPECT_EQ(reply->size(), 2000u * 501u);
    install("/usr/bin/head -c 1048577 /dev/zero\n");
    EXPECT_EQ(error_of(ops::curl_post_json("http://x", "{}")), "broadcast failed: reply larger than 1048576 bytes");
}

// curl would read these as options or expand them into several requests.
TEST_F(FakeCurl, UrlsCurlWouldMisreadNeverReachIt) {
    install(": >> " + in_dir("ran") + "\n");
    const std::string scheme = "is not an http:// or https:// URL";
    const std::pair<std::string, std::string> refused[] = {
        {"-K/tmp/x", scheme}, {"localhost:8545", scheme}, {"file:///etc/passwd", scheme},
        {"http://h/\nurl = \"file:///x\"", "contains a control character"}, {"http://h/{a,b}", "contains '{'"},
        {"http://h/a}", "contains '}'"}, {"http://h/[1-5]", "contains '['"}, {"http://h/x]", "contains ']'"},
        {"http://[::1]:1/[1-2]", "contains '['"}, {"http://[a-b]/", "contains '['"},  // not an IPv6 address
        {"http://[]/", "contains '['"}, {"http://[::1", "contains '['"},
        {"http://x@[::1]@y/", "contains '['"},  // the host is y
    };
    for (const auto& [url, why] : refused) {
        EXPECT_EQ(error_of(ops::curl_post_json(url, "{}")),
                  "broadcast failed: invalid RPC URL: '" + qel_core::shown(url) + "' " + why);
    }
    EXPECT_FALSE(fs::exists(dir_ / "ran"));
    for (const char* url : {"http://[::1]:8545/", "https://u:p@[2001:db8::1]/v1?k=a-b", "HTTPS://h/-x"}) {
        EXPECT_TRUE(ops::curl_post_json(url, "{}")) << url;
    }
    EXPECT_TRUE(fs::exists(dir_ / "ran"));
}

TEST_F(FakeCurl, StopAskedBeforeCurlStartsSendsNothing) {
    install(": >> " + in_dir("ran") + "\n");
    const auto r = ops::curl_post_json("http://h/", "{}", [] { return true; });
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), qel_lib::QelLibError::Kind::Interrupted);
    EXPECT_FALSE(fs::exists(dir_ / "ran"));
}

TEST(ExtractJsonField, Replies) {
    const std::string padding(300, ' ');
    const auto nested = [](int levels) {  // the object is the first level
        return R"({"result":"0x1","x":)" + std::string(levels - 1, '[') + std::string(levels - 1, ']') + "}";
    };
    const std::pair<std::string, std::string> cases[] = {  // reply, result or error text
        {R"({"result":"x","error":null})", "broadcast failed: RPC error: null"},
        {R"({"error":{"message":"nonce too low","code":-32000}})",
         R"(broadcast failed: RPC error: {"code":-32000,"message":"nonce too low"})"},
        {R"({"error":"plain"})", R"(broadcast failed: RPC error: "plain")"},
        {R"({"result":null})", R"(broadcast failed: no 'result' in response: {"result":null})"},
        {R"({"result":5} )", R"(broadcast failed: no 'result' in response: {"result":5} )"},
        {R"(["result"])", R"(broadcast failed: no 'result' in response: ["result"])"},
        {"<html>502</html>", "JSON error: The JSON document has an improper structure: missing or superfluous "
                             "commas, braces, missing keys, etc."},
        // The reply is quoted escaped and cut short.
        {"{\"result\":1,\"\\u001b\":0}" + padding,
         "broadcast failed: no 'result' in response: {\"result\":1,\"\\u001b\":0}" + padding.substr(0, 177) + "\u2026"},
        {"{\"error\":\"" + std::string(300, 'e') + "\"}",
         "broadcast failed: RPC error: \"" + std::string(199, 'e') + "\u2026"},
        {nested(128), "0x1"},  // the nesting limit is 128 levels
        {nested(129), "JSON error: recursion limit exceeded"},
    };
    for (const auto& [reply, expected] : cases) {
        auto r = ops::extract_json_field(reply, "result");
        EXPECT_EQ(r ? *r : error_of(r), expected) << reply;
    }
}

// A bounded wait: curl against a listener that never answers is killed and
// reaped when the time is up. (That a stop asked meanwhile does the same is
// test_threads.py's Ctrl-C test.)
TEST(CurlWait, TimeLimitKillsAndReapsCurl) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), len), 0);
    ASSERT_EQ(::listen(fd, 8), 0);
    ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/";
    EXPECT_EQ(error_of(ops::curl_post_json(url, "{}", {}, std::chrono::seconds(2))),
              "broadcast failed: curl did not finish within 2 seconds");
    EXPECT_TRUE(::waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD);  // no child left
    ::close(fd);
}

}  // namespace
