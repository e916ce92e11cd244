#include "qel_core/config.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "in_child.hpp"
#include "qel_core/chain.hpp"

namespace {

namespace fs = std::filesystem;
using qel_core::Config;

// Sets HOME for one test and restores it afterwards.
class HomeGuard {
public:
    HomeGuard() {
        const char* old = std::getenv("HOME");
        if (old != nullptr) saved_ = old;
    }
    ~HomeGuard() {
        if (saved_) {
            ::setenv("HOME", saved_->c_str(), 1);
        } else {
            ::unsetenv("HOME");
        }
    }
    HomeGuard(const HomeGuard&) = delete;
    HomeGuard& operator=(const HomeGuard&) = delete;

private:
    std::optional<std::string> saved_;
};

class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/qel-config-test-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        ::setenv("HOME", dir_.c_str(), 1);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    Config load(const std::string& text) {
        const fs::path file = dir_ / "config.json";
        std::ofstream(file, std::ios::binary) << text;
        return Config::load_or_default_from(file);
    }

    HomeGuard home_;
    fs::path dir_;
};

TEST_F(ConfigTest, DefaultsFollowHome) {
    EXPECT_EQ(Config::defaults().vault_path, dir_ / ".qel");
    const Config d = Config::defaults();
    EXPECT_TRUE(d.plugins.empty());
    EXPECT_FALSE(d.backup.has_value());
    EXPECT_EQ(d.rpc, Config::default_rpc());
}

TEST_F(ConfigTest, DefaultRpcCoversEveryChainWithTheRightPath) {
    const auto rpc = Config::default_rpc();
    ASSERT_EQ(rpc.size(), qel_core::KNOWN_CHAINS.size());
    const std::map<std::string, std::string> paths{
        {"eip155:42161", "/rpc"},
        {"eip155:43114", "/ext/bc/C/rpc"},
        {"bip122:000000000019d6689c085ae165831e93", "/api"},
        {"ton:mainnet", "/api/v2"},
    };
    for (const auto& chain : qel_core::KNOWN_CHAINS) {
        const auto it = rpc.find(std::string(chain.chain_id));
        ASSERT_NE(it, rpc.end()) << chain.chain_id;
        const std::string& url = it->second;
        ASSERT_TRUE(url.starts_with("https://")) << url;
        const auto slash = url.find('/', 8);
        const std::string path = slash == std::string::npos ? "" : url.substr(slash);
        const auto want = paths.find(std::string(chain.chain_id));
        EXPECT_EQ(path, want == paths.end() ? "" : want->second) << url;
        EXPECT_GT(slash == std::string::npos ? url.size() : slash, 8u) << url;  // a host is present
    }
}

TEST_F(ConfigTest, FileEntriesMergeIntoTheDefaults) {
    const Config c = load(R"({
        "vault_path": "/srv/vault", "unknown": 1,
        "rpc": {"eip155:1": "https://my.node", "foo:bar": "https://never.used"},
        "plugins": {"p": {"x": [1]}},
        "backup": {"path": "/b", "auto_backup": true, "max_backups": 4294967295, "extra": 0}})");
    EXPECT_EQ(c.vault_path, fs::path("/srv/vault"));
    auto expected_rpc = Config::default_rpc();
    expected_rpc["eip155:1"] = "https://my.node";
    expected_rpc["foo:bar"] = "https://never.used";
    EXPECT_EQ(c.rpc, expected_rpc);
    EXPECT_EQ(c.plugins.at("p"), nlohmann::json::parse(R"({"x":[1]})"));
    ASSERT_TRUE(c.backup.has_value());
    EXPECT_EQ(*c.backup, (qel_core::BackupConfig{"/b", true, 4294967295u}));

    const Config nulls = load(R"({"vault_path": "/v", "backup": {"path": "/b", "auto_backup": null, "max_backups": null}})");
    EXPECT_EQ(*nulls.backup, (qel_core::BackupConfig{"/b", std::nullopt, std::nullopt}));
    EXPECT_FALSE(load(R"({"vault_path": "/v", "backup": null})").backup.has_value());
}

TEST_F(ConfigTest, DefaultVaultPathSurvivesEmptyOrTmpValues) {
    for (const std::string path : {"", "/tmp/.qel", "/tmp/.qel/", "/tmp//.qel", "/tmp/./.qel"}) {
        const Config c = load(R"({"vault_path": ")" + path + R"(", "rpc": {"eip155:1": "https://x"}})");
        EXPECT_EQ(c.vault_path, dir_ / ".qel") << path;
        EXPECT_EQ(c.rpc.at("eip155:1"), "https://x");  // the rest of the file still applies
    }
}

TEST_F(ConfigTest, AnyFaultInTheFileYieldsThePlainDefaults) {
    const Config defaults = Config::defaults();
    for (const std::string text : {
             "",
             "{}",
             R"({"rpc": {"eip155:1": "https://x"}})",
             R"({"vault_path": 5})",
             R"({"vault_path": "/v", "rpc": {"eip155:1": 1}})",
             R"({"vault_path": "/v", "rpc": null})",
             R"({"vault_path": "/v", "plugins": []})",
             R"({"vault_path": "/v", "backup": {"auto_backup": true}})",
             R"({"vault_path": "/v", "backup": {"path": "/b", "max_backups": 4294967296}})",
             R"({"vault_path": "/v", "backup": {"path": "/b", "max_backups": -1}})",
             R"({"vault_path": "/v", "backup": {"path": "/b", "auto_backup": "yes"}})",
             R"({"vault_path": "/v", "backup": 3})",
             R"({"vault_path": "/v", "vault_path": "/w"})",
             R"({"vault_path": "/v", "rpc": {"eip155:1": "https://a", "eip155:1": "https://b"}})",
             "{\"vault_path\": \"/v\xff\"}",
             R"({"vault_path": "/v"} trailing)",
             "[]",
         }) {
        EXPECT_EQ(load(text), defaults) << text;
    }
    EXPECT_EQ(Config::load_or_default_from(dir_ / "absent.json"), defaults);
    EXPECT_EQ(Config::load_or_default_from(dir_), defaults);  // a directory
}

TEST_F(ConfigTest, FileThatOthersCouldWriteIsIgnoredWithAWarning) {
    const fs::path file = dir_ / "config.json";
    std::ofstream(file) << R"({"vault_path": "/elsewhere"})";
    const std::string warning = "warning: ignoring " + file.string() + ": it is writable by other users\n";
    struct Case {
        mode_t mode;
        uid_t owner;
        bool applied;
    };
    const Case cases[] = {
        {0600, ::geteuid(), true}, {0644, ::geteuid(), true}, {0620, ::geteuid(), false},
        {0602, ::geteuid(), false}, {0600, 65534, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.mode) + " " + std::to_string(c.owner));
        if (c.owner != ::geteuid() && !qel_test::can_change_owners()) continue;
        ASSERT_EQ(::chown(file.c_str(), c.owner, static_cast<gid_t>(-1)), 0);
        ASSERT_EQ(::chmod(file.c_str(), c.mode), 0);
        testing::internal::CaptureStderr();
        const Config loaded = Config::load_or_default_from(file);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.applied ? "" : warning);
        EXPECT_EQ(loaded.vault_path, c.applied ? fs::path("/elsewhere") : dir_ / ".qel");
        if (!c.applied) {
            EXPECT_EQ(loaded, Config::defaults());
        }
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

TEST_F(ConfigTest, LoadOrDefaultReadsTheFileUnderHome) {
    EXPECT_EQ(Config::load_or_default(), Config::defaults());
    fs::create_directories(dir_ / ".qel");
    std::ofstream(dir_ / ".qel" / "config.json") << R"({"vault_path": "/elsewhere"})";
    EXPECT_EQ(Config::load_or_default().vault_path, fs::path("/elsewhere"));
}

}  // namespace
