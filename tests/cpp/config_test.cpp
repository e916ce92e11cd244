#include "qel_core/config.hpp"

#include <sys/stat.h>

#include "qel_core/chain.hpp"
#include "support.hpp"

namespace {

using qel_core::Config;

class ConfigTest : public qel_test::TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        ::setenv("HOME", dir_.c_str(), 1);
    }
    Config load(const std::string& text) {
        qel_test::write_text(dir_ / "config.json", text);
        return Config::load_or_default_from(dir_ / "config.json");
    }
    qel_test::ScopedEnv home_{"HOME", std::nullopt};
};

// Every known chain has an https endpoint with a host and the path its node
// serves JSON-RPC under. (That the file under HOME is the one read, and its
// endpoints replace and add to these, is test_broadcast.py's.)
TEST_F(ConfigTest, DefaultsFollowHomeAndCoverEveryChain) {
    const Config d = Config::defaults();
    EXPECT_TRUE(d.vault_path == dir_ / ".qel" && d.plugins.empty() && !d.backup);
    ASSERT_EQ(d.rpc.size(), qel_core::KNOWN_CHAINS.size());
    const std::map<std::string, std::string> paths{{"eip155:42161", "/rpc"}, {"eip155:43114", "/ext/bc/C/rpc"},
                                                   {"bip122:000000000019d6689c085ae165831e93", "/api"},
                                                   {"ton:mainnet", "/api/v2"}};
    for (const auto& chain : qel_core::KNOWN_CHAINS) {
        const std::string& url = d.rpc.at(std::string(chain.chain_id));
        const auto slash = url.find('/', 8);
        EXPECT_TRUE(url.starts_with("https://") && std::min(slash, url.size()) > 8) << url;
        const auto want = paths.find(std::string(chain.chain_id));
        EXPECT_EQ(slash == std::string::npos ? "" : url.substr(slash), want == paths.end() ? "" : want->second);
    }
}

TEST_F(ConfigTest, FileEntriesMergeIntoTheDefaults) {
    const Config c = load(R"({
        "vault_path": "/srv/vault", "unknown": 1,
        "plugins": {"p": {"x": [1]}},
        "backup": {"path": "/b", "auto_backup": true, "max_backups": 4294967295, "extra": 0}})");
    EXPECT_EQ(c.vault_path, fs::path("/srv/vault"));
    EXPECT_EQ(c.plugins.at("p"), nlohmann::json::parse(R"({"x":[1]})"));
    EXPECT_EQ(c.backup, (qel_core::BackupConfig{"/b", true, 4294967295u}));
    EXPECT_EQ(load(R"({"vault_path": "/v", "backup": {"path": "/b", "auto_backup": null, "max_backups": null}})").backup,
              (qel_core::BackupConfig{"/b", std::nullopt, std::nullopt}));
    EXPECT_FALSE(load(R"({"vault_path": "/v", "backup": null})").backup.has_value());
    // An empty or shared vault path is replaced by the default; the rest still applies.
    for (const std::string path : {"", "/tmp/.qel", "/tmp/.qel/", "/tmp//.qel", "/tmp/./.qel"}) {
        const Config t = load(R"({"vault_path": ")" + path + R"(", "rpc": {"eip155:1": "https://x"}})");
        EXPECT_EQ(t.vault_path, dir_ / ".qel") << path;
        EXPECT_EQ(t.rpc.at("eip155:1"), "https://x");
    }
}

TEST_F(ConfigTest, AnyFaultInTheFileYieldsThePlainDefaultsAndAWarning) {
    const Config defaults = Config::defaults();
    const std::string invalid = "invalid type: ";
    const std::pair<std::string, std::string> cases[] = {
        {"", "Empty: no JSON found"},
        {"[]", invalid + "sequence, expected a map"},
        {R"({"vault_path": 5})", "`vault_path`: " + invalid + "integer `5`, expected a string"},
        {R"({"vault_path": "/v", "rpc": {"eip155:1": 1}})", "`rpc.eip155:1`: " + invalid + "integer `1`, expected a string"},
        {R"({"vault_path": "/v", "rpc": null})", "`rpc`: " + invalid + "null, expected a map"},
        {R"({"vault_path": "/v", "plugins": []})", "`plugins`: " + invalid + "sequence, expected a map"},
        {R"({"vault_path": "/v", "backup": {"auto_backup": true}})", "`backup`: missing field `path`"},
        {R"({"vault_path": "/v", "backup": {"path": "/b", "max_backups": 4294967296}})",
         "`backup.max_backups`: " + invalid + "integer `4294967296`, expected an integer from 0 to 4294967295"},
        {R"({"vault_path": "/v", "backup": {"path": "/b", "auto_backup": "yes"}})",
         "`backup.auto_backup`: " + invalid + "string \"yes\", expected a boolean"},
        {R"({"vault_path": "/v", "backup": 3})", "`backup`: " + invalid + "integer `3`, expected a map"},
        {R"({"vault_path": "/v", "rpc": {"eip155:1": "https://a", "eip155:1": "https://b"}})",
         "duplicate field `eip155:1`"},
        {R"({"vault_path": "/v", "rpc": {"\u001b]0;x\u0007": 1}})",
         "`rpc.\\x1b]0;x\\x07`: " + invalid + "integer `1`, expected a string"},
        {std::string(1024 * 1024 + 1, ' '), "larger than 1 MiB"},
    };
    const std::string ignoring = "warning: ignoring " + (dir_ / "config.json").string() + ": ";
    for (const auto& [text, reason] : cases) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(load(text), defaults) << text;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), ignoring + reason + "\n") << text;
    }
    testing::internal::CaptureStderr();
    EXPECT_EQ(Config::load_or_default_from(dir_ / "absent.json"), defaults);  // silently: there is no file
    EXPECT_EQ(Config::load_or_default_from(dir_ / "config.json" / "x"), defaults);
    EXPECT_EQ(Config::load_or_default_from(dir_), defaults);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "warning: ignoring " + dir_.string() + ": not a regular file\n");
}

TEST_F(ConfigTest, FileThatOthersCouldWriteIsIgnoredWithAWarning) {
    const fs::path file = dir_ / "config.json";
    qel_test::write_text(file, R"({"vault_path": "/elsewhere"})");
    const std::string warning = "warning: ignoring " + file.string() + ": it is writable by other users\n";
    const std::tuple<mode_t, uid_t, bool> cases[] = {  // mode, owner, applied
        {0600, ::geteuid(), true}, {0644, ::geteuid(), true}, {0620, ::geteuid(), false},
        {0602, ::geteuid(), false}, {0600, 65534, false},
    };
    for (const auto& [mode, owner, applied] : cases) {
        SCOPED_TRACE(std::to_string(mode) + " " + std::to_string(owner));
        if (owner != ::geteuid() && !qel_test::can_change_owners()) continue;
        ASSERT_EQ(::chown(file.c_str(), owner, static_cast<gid_t>(-1)), 0);
        ASSERT_EQ(::chmod(file.c_str(), mode), 0);
        testing::internal::CaptureStderr();
        const Config loaded = Config::load_or_default_from(file);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), applied ? "" : warning);
        EXPECT_EQ(loaded.vault_path, applied ? fs::path("/elsewhere") : dir_ / ".qel");
    }
    if (!qel_test::can_change_owners()) return;
    // Root's files are trusted by every user.
    ASSERT_EQ(::chown(file.c_str(), 0, 0), 0);
    ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
    ASSERT_EQ(::chmod(dir_.c_str(), 0755), 0);
    EXPECT_EQ(qel_test::in_child([&] {
                  if (::setresuid(65534, 65534, 65534) != 0) return std::string("setresuid failed");
                  return Config::load_or_default_from(file).vault_path.string();
              }),
              "/elsewhere");
}

}  // namespace
