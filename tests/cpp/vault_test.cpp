#include "qel_lib/vault.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <random>
#include <set>
#include <sstream>

#include "in_child.hpp"
#include "qel_signer/envelope.hpp"

namespace {

namespace fs = std::filesystem;
namespace vault = qel_lib::vault;
using qel_core::EncryptedWallet;
using qel_lib::QelLibError;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

EncryptedWallet wallet(std::string id, std::string name, std::string created_at = "2025-01-01T00:00:00+00:00") {
    EncryptedWallet w;
    w.id = std::move(id);
    w.name = std::move(name);
    w.created_at = std::move(created_at);
    w.crypto = {{"cipher", "aes-256-gcm"}};
    return w;
}

void write_text(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string read_text(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

unsigned mode_of(const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 0777;
}

std::vector<std::string> entries(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

bool set_immutable(const fs::path& path, bool on) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) return false;
    int flags = 0;
    bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (ok) {
        flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        ok = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    ::close(fd);
    return ok;
}

class VaultTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/qel-vault-test-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        base_ = tmpl;
        root_ = base_ / "vault";
        wallets_ = root_ / "wallets";
    }
    void TearDown() override {
        for (const fs::path& p : immutable_) set_immutable(p, false);
        std::error_code ec;
        fs::remove_all(base_, ec);
    }

    fs::path base_, root_, wallets_;
    std::vector<fs::path> immutable_;
};

TEST_F(VaultTest, FreshRootIsCreatedPrivateAndEmpty) {
    CaptureStderr();
    auto list = vault::list_encrypted_wallets(root_);
    EXPECT_EQ(GetCapturedStderr(), "");
    ASSERT_TRUE(list.has_value()) << list.error().message();
    EXPECT_TRUE(list->empty());
    EXPECT_EQ(mode_of(root_), 0700u);
    EXPECT_EQ(mode_of(wallets_), 0700u);
}

TEST_F(VaultTest, DirectoryCreationFailureIsIoAndCreatesNothing) {
    write_text(root_, "not a directory");
    auto r = vault::list_encrypted_wallets(root_);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind(), QelLibError::Kind::Io);
    EXPECT_EQ(r.error().message(), "I/O error: Not a directory (os error 20)");
    auto s = vault::save_encrypted_wallet(wallet("a", "n"), root_);
    ASSERT_FALSE(s.has_value());
    EXPECT_EQ(s.error().kind(), QelLibError::Kind::Io);
    EXPECT_EQ(entries(base_), std::vector<std::string>{"vault"});
}

TEST_F(VaultTest, SaveWritesTheFileTextPrivatelyAndReplacesOnResave) {
    const mode_t old = ::umask(0);
    EncryptedWallet w = wallet("id-1", "first");
    auto r = vault::save_encrypted_wallet(w, root_);
    ::umask(old);
    ASSERT_TRUE(r.has_value()) << r.error().message();
    EXPECT_EQ(read_text(wallets_ / "id-1.json"), w.to_file_text());
    EXPECT_EQ(mode_of(wallets_ / "id-1.json"), 0600u);

    w.name = "renamed";
    ASSERT_TRUE(vault::save_encrypted_wallet(w, root_).has_value());
    EXPECT_EQ(read_text(wallets_ / "id-1.json"), w.to_file_text());
    EXPECT_EQ(entries(wallets_), std::vector<std::string>{"id-1.json"});  // no temporary left
}

TEST_F(VaultTest, SaveReplacesASymlinkInsteadOfWritingThroughIt) {
    ASSERT_TRUE(vault::wallets_dir(root_).has_value());
    const fs::path victim = base_ / "victim";
    write_text(victim, "keep");
    fs::create_symlink(victim, wallets_ / "id-1.json");
    ASSERT_TRUE(vault::save_encrypted_wallet(wallet("id-1", "n"), root_).has_value());
    EXPECT_EQ(read_text(victim), "keep");
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(wallets_ / "id-1.json")));
}

TEST_F(VaultTest, FailedSaveLeavesNoTemporaryBehind) {
    fs::create_directories(wallets_ / "id-1.json");  // rename over a directory fails
    auto r = vault::save_encrypted_wallet(wallet("id-1", "n"), root_);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message(), "I/O error: Is a directory (os error 21)");
    EXPECT_EQ(entries(wallets_), std::vector<std::string>{"id-1.json"});
}

TEST_F(VaultTest, UnsafeIdsAreRefusedForSaveAndDelete) {
    for (const std::string& id : {std::string(), std::string("."), std::string(".."), std::string("a/b"),
                                 std::string("../x"), std::string("/abs"), std::string("a\0b", 3)}) {
        const std::string expected = "invalid input: unsafe wallet id: '" + id + "'";
        auto s = vault::save_encrypted_wallet(wallet(id, "n"), root_);
        ASSERT_FALSE(s.has_value()) << id;
        EXPECT_EQ(s.error().kind(), QelLibError::Kind::InvalidInput);
        EXPECT_EQ(s.error().message(), expected);
        auto d = vault::delete_wallet_file(id, root_);
        ASSERT_FALSE(d.has_value()) << id;
        EXPECT_EQ(d.error().message(), expected);
    }
    EXPECT_FALSE(fs::exists(root_));
    EXPECT_EQ(entries(base_), std::vector<std::string>{});

    // A hand-edited file with such an id is still listed and found.
    ASSERT_TRUE(vault::wallets_dir(root_).has_value());
    write_text(wallets_ / "x.json", wallet("../evil", "evil").to_file_text());
    auto found = vault::load_wallet_by_name_or_id("../evil", root_);
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->name, "evil");
}

TEST_F(VaultTest, ListingSkipsWhatIsNotAWalletFile) {
    ASSERT_TRUE(vault::wallets_dir(root_).has_value());
    const std::string good = wallet("good", "g").to_file_text();
    write_text(wallets_ / "good.json", good);
    write_text(wallets_ / "x.y.json", wallet("dotted", "d").to_file_text());
    write_text(base_ / "target", wallet("linked", "l").to_file_text());
    fs::create_symlink(base_ / "target", wallets_ / "link.json");
    // Ignored silently.
    write_text(wallets_ / "a.txt", good);
    write_text(wallets_ / "b.JSON", good);
    write_text(wallets_ / ".json", good);
    write_text(wallets_ / ".qel-save-0011223344556677.tmp", good);
    fs::create_directory(wallets_ / "sub");
    // Reported and skipped.
    fs::create_directory(wallets_ / "dir.json");
    write_text(wallets_ / "bad.json", "{\"id\":");
    write_text(wallets_ / "dup.json", R"({"id":"a","id":"a"})");
    write_text(wallets_ / "types.json", R"({"qel_version":true})");
    write_text(wallets_ / "array.json", "[]");
    fs::create_symlink(base_ / "missing", wallets_ / "dangling.json");
    ASSERT_EQ(::mkfifo((wallets_ / "fifo.json").c_str(), 0600), 0);

    CaptureStderr();
    auto list = vault::list_encrypted_wallets(root_);
    const std::string err = GetCapturedStderr();
    ASSERT_TRUE(list.has_value());
    std::set<std::string> ids;
    for (const auto& w : *list) ids.insert(w.id);
    EXPECT_EQ(ids, (std::set<std::string>{"good", "dotted", "linked"}));

    std::set<std::string> lines;
    std::istringstream in(err);
    for (std::string line; std::getline(in, line);) lines.insert(line);
    const std::string w = "warning: skipping " + wallets_.string() + "/";
    const std::set<std::string> expected{
        w + "dir.json: Is a directory (os error 21)",
        w + "dup.json: duplicate field `id`",
        w + "types.json: invalid type: boolean `true`, expected u32",
        w + "array.json: invalid type: sequence, expected struct EncryptedWallet",
        w + "dangling.json: No such file or directory (os error 2)",
        w + "fifo.json: not a regular file",
    };
    for (const auto& line : expected) EXPECT_EQ(lines.count(line), 1u) << line << "\nin:\n" << err;
    EXPECT_EQ(lines.size(), expected.size() + 1) << err;  // plus bad.json's parser message
    EXPECT_NE(err.find(w + "bad.json: unexpected end of input at line 1 column 7"), std::string::npos) << err;
}

// Names in the order the platform's directory listing delivers them.
std::vector<std::string> readdir_order(const fs::path& dir) {
    std::vector<std::string> names;
    DIR* d = ::opendir(dir.c_str());
    while (const dirent* e = ::readdir(d)) names.emplace_back(e->d_name);
    ::closedir(d);
    return names;
}

TEST_F(VaultTest, ListingIsNewestFirstAndStableForEqualTimes) {
    const std::string same = "2025-01-31T08:15:02.250+00:00";
    const std::vector<EncryptedWallet> saved{
        wallet("old", "o", "2024-12-31T23:59:59.999999999+00:00"),
        wallet("whole", "w", "2025-01-31T08:15:02+00:00"),
        wallet("new", "n", "2025-01-31T08:15:02.250113+00:00"),
    };
    for (const auto& w : saved) ASSERT_TRUE(vault::save_encrypted_wallet(w, root_).has_value());
    for (int i = 0; i < 8; ++i) {
        ASSERT_TRUE(vault::save_encrypted_wallet(wallet("eq" + std::to_string(i), "e", same), root_).has_value());
    }
    std::vector<std::string> expected{"new"};
    for (const auto& name : readdir_order(wallets_)) {
        if (name.starts_with("eq")) expected.push_back(name.substr(0, name.size() - 5));
    }
    expected.push_back("whole");
    expected.push_back("old");

    auto list = vault::list_encrypted_wallets(root_);
    ASSERT_TRUE(list.has_value());
    std::vector<std::string> got;
    for (const auto& w : *list) got.push_back(w.id);
    EXPECT_EQ(got, expected);
}

TEST_F(VaultTest, FindingPrefersIdsThenExactNames) {
    for (const auto& w : {wallet("id-a", "twin"), wallet("id-b", "twin"), wallet("id-c", "id-a"),
                          wallet("id-d", "Solo")}) {
        ASSERT_TRUE(vault::save_encrypted_wallet(w, root_).has_value());
    }
    struct Case {
        std::string input, id, error;
    };
    const Case cases[] = {
        {"id-b", "id-b", ""},
        {"id-a", "id-a", ""},  // a name equal to another wallet's id selects that id
        {"Solo", "id-d", ""},
        {"twin", "", "ambiguous wallet name 'twin' matches 2 wallets; use the wallet ID instead"},
        {"solo", "", "wallet not found: 'solo'"},
        {"", "", "wallet not found: ''"},
    };
    for (const auto& c : cases) {
        auto r = vault::load_wallet_by_name_or_id(c.input, root_);
        if (c.error.empty()) {
            ASSERT_TRUE(r.has_value()) << c.input;
            EXPECT_EQ(r->id, c.id);
        } else {
            ASSERT_FALSE(r.has_value()) << c.input;
            EXPECT_EQ(r.error().message(), c.error);
        }
    }
    EXPECT_EQ(vault::load_wallet_by_name_or_id("twin", root_).error().count(), 2u);
    EXPECT_EQ(vault::wallet_name_exists("twin", root_), true);
    EXPECT_EQ(vault::wallet_name_exists("solo", root_), false);
    EXPECT_EQ(vault::wallet_name_exists("id-b", root_), false);  // ids are not names
}

TEST_F(VaultTest, DeleteRemovesByFileNameOnly) {
    ASSERT_TRUE(vault::save_encrypted_wallet(wallet("id-1", "one"), root_).has_value());
    write_text(wallets_ / "other.json", wallet("inner", "two").to_file_text());

    ASSERT_TRUE(vault::delete_wallet_file("id-1", root_).has_value());
    EXPECT_FALSE(fs::exists(wallets_ / "id-1.json"));
    auto again = vault::delete_wallet_file("id-1", root_);
    ASSERT_FALSE(again.has_value());
    EXPECT_EQ(again.error().message(), "wallet not found: 'id-1'");

    // Found under its inner id, but there is no "inner.json" to remove.
    auto found = vault::load_wallet_by_name_or_id("two", root_);
    ASSERT_TRUE(found.has_value());
    auto d = vault::delete_wallet_file(found->id, root_);
    ASSERT_FALSE(d.has_value());
    EXPECT_EQ(d.error().kind(), QelLibError::Kind::WalletNotFound);
    EXPECT_EQ(d.error().message(), "wallet not found: 'inner'");
    EXPECT_TRUE(fs::exists(wallets_ / "other.json"));
}

// Only directories of this user that are not shared are tightened; the
// others keep their mode and get the set-permissions warning.
TEST_F(VaultTest, ExistingRootIsTightenedOnlyWhenItIsOurs) {
    if (!qel_test::can_change_owners()) GTEST_SKIP() << "needs root to give directories away";
    const std::string refused = "warning: failed to set permissions on " + root_.string() + ": ";
    struct Case {
        mode_t mode;
        uid_t owner;
        bool via_symlink;
        unsigned kept_mode;
        std::string warning;
    };
    const Case cases[] = {
        {0755, ::geteuid(), false, 0700, ""},
        {01777, ::geteuid(), false, 01777, refused + "it is a shared directory (sticky bit set)\n"},
        {0755, 65534, false, 0755, refused + "it belongs to another user (uid 65534)\n"},
        {0755, 65534, true, 0755, refused + "it belongs to another user (uid 65534)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.warning);
        std::error_code ec;
        fs::remove_all(base_ / "target", ec);
        fs::remove_all(root_, ec);
        const fs::path dir = c.via_symlink ? base_ / "target" : root_;
        fs::create_directory(dir);
        if (c.via_symlink) fs::create_directory_symlink(dir, root_);
        ASSERT_EQ(::chmod(dir.c_str(), c.mode), 0);
        ASSERT_EQ(::chown(dir.c_str(), c.owner, static_cast<gid_t>(-1)), 0);
        CaptureStderr();
        auto list = vault::list_encrypted_wallets(root_);
        EXPECT_EQ(GetCapturedStderr(), c.warning);
        ASSERT_TRUE(list.has_value()) << list.error().message();
        struct stat st {};
        ASSERT_EQ(::stat(dir.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, c.kept_mode);
        EXPECT_EQ(mode_of(wallets_), 0700u);  // created here, so ours
    }
}

TEST_F(VaultTest, PermissionWarnings) {
    CaptureStderr();
    vault::set_dir_permissions(base_ / "absent");
    vault::check_vault_permissions(base_ / "absent");  // silent
    fs::create_directory(base_ / "open");
    ::chmod((base_ / "open").c_str(), 0755);
    vault::check_vault_permissions(base_ / "open");
    ::chmod((base_ / "open").c_str(), 02700);  // only the low nine bits count
    vault::check_vault_permissions(base_ / "open");
    EXPECT_EQ(GetCapturedStderr(), "warning: failed to set permissions on " + (base_ / "absent").string() +
                                       ": No such file or directory (os error 2)\n"
                                       "warning: " + (base_ / "open").string() +
                                       " has permissions 0755, expected 0700\n");
}

TEST_F(VaultTest, UnchangeableOpenDirectoriesWarnButStillList) {
    ASSERT_TRUE(vault::save_encrypted_wallet(wallet("id-1", "n"), root_).has_value());
    ::chmod(root_.c_str(), 0755);
    ::chmod(wallets_.c_str(), 0755);
    // Root may chmod anything, so make chmod fail with the immutable flag.
    if (!set_immutable(wallets_, true)) GTEST_SKIP() << "file system has no immutable flag";
    immutable_.push_back(wallets_);
    ASSERT_TRUE(set_immutable(root_, true));
    immutable_.push_back(root_);

    CaptureStderr();
    auto list = vault::list_encrypted_wallets(root_);
    EXPECT_EQ(GetCapturedStderr(),
              "warning: failed to set permissions on " + root_.string() + ": Operation not permitted (os error 1)\n"
              "warning: failed to set permissions on " + wallets_.string() + ": Operation not permitted (os error 1)\n"
              "warning: " + wallets_.string() + " has permissions 0755, expected 0700\n");
    ASSERT_TRUE(list.has_value());
    ASSERT_EQ(list->size(), 1u);
}

TEST_F(VaultTest, DefaultRootFollowsHome) {
    const char* old = std::getenv("HOME");
    const std::string saved = old ? old : "";
    ::setenv("HOME", base_.c_str(), 1);
    EXPECT_EQ(vault::resolve_vault_path(std::nullopt), base_ / ".qel");
    EXPECT_EQ(vault::resolve_vault_path(root_), root_);
    ASSERT_TRUE(vault::save_encrypted_wallet(wallet("id-1", "n"), std::nullopt).has_value());
    EXPECT_TRUE(fs::exists(base_ / ".qel" / "wallets" / "id-1.json"));
    if (old) {
        ::setenv("HOME", saved.c_str(), 1);
    } else {
        ::unsetenv("HOME");
    }
}

TEST_F(VaultTest, SaveRemovesOnlyStaleTemporaries) {
    ASSERT_TRUE(vault::wallets_dir(root_).has_value());
    const auto plant = [&](const std::string& name, int age_seconds) {
        write_text(wallets_ / name, "sealed copy");
        const timespec when[2] = {{::time(nullptr) - age_seconds, 0}, {::time(nullptr) - age_seconds, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, (wallets_ / name).c_str(), when, 0), 0);
    };
    plant(".qel-save-00112233445566aa.tmp", 11 * 60);  // stale: removed
    plant(".qel-save-00112233445566bb.tmp", 9 * 60);   // a save may still be running
    plant(".qel-save-notours.tmp", 3600);              // not a name a save makes
    plant("notes.tmp", 3600);
    ASSERT_TRUE(vault::save_encrypted_wallet(wallet("id-1", "n"), root_).has_value());
    EXPECT_EQ(entries(wallets_), (std::vector<std::string>{".qel-save-00112233445566bb.tmp",
                                                           ".qel-save-notours.tmp", "id-1.json", "notes.tmp"}));
}

TEST_F(VaultTest, WriteLockExcludesWritersOnly) {
    const fs::path lock = wallets_ / ".qel-lock";
    {
        auto held = vault::lock_for_writing(root_);
        ASSERT_TRUE(held.has_value()) << held.error().message();
        auto second = vault::lock_for_writing(root_, std::chrono::milliseconds(50));
        ASSERT_FALSE(second.has_value());
        EXPECT_EQ(second.error().message(), "I/O error: timed out waiting for the vault lock " + lock.string() +
                                                ": another process is writing to the vault");
        // Readers neither wait nor see the lock file.
        CaptureStderr();
        auto list = vault::list_encrypted_wallets(root_);
        EXPECT_EQ(GetCapturedStderr(), "");
        ASSERT_TRUE(list.has_value());
        EXPECT_TRUE(list->empty());
    }
    EXPECT_TRUE(vault::lock_for_writing(root_, std::chrono::milliseconds(0)).has_value());

    // A link planted in place of the lock file is not followed.
    fs::remove(lock);
    fs::create_symlink(base_ / "elsewhere", lock);
    auto planted = vault::lock_for_writing(root_);
    ASSERT_FALSE(planted.has_value());
    EXPECT_EQ(planted.error().message(), "I/O error: cannot open the vault lock " + lock.string() +
                                             ": Too many levels of symbolic links (os error 40)");
    EXPECT_FALSE(fs::exists(base_ / "elsewhere"));
}

// A process killed at any moment while saving must leave the old or the new
// file, never a torn one.
TEST_F(VaultTest, SaveSurvivesBeingKilledAtAnyMoment) {
    namespace crypto = qel_signer::crypto;
    const std::string secret = "correct horse battery staple";
    const std::string passphrase = "pass";
    auto sealed = crypto::encrypt(
        qel_signer::ByteSpan(reinterpret_cast<const std::uint8_t*>(secret.data()), secret.size()), passphrase);
    ASSERT_TRUE(sealed.has_value()) << sealed.error().message();
    EncryptedWallet original = wallet("7d444840-9dc0-11d1-b245-5ffdce74fad2", "crash");
    original.crypto = sealed->to_json();
    ASSERT_TRUE(vault::save_encrypted_wallet(original, root_).has_value());

    auto check_decrypts = [&](const EncryptedWallet& w) {
        auto envelope = crypto::CryptoEnvelope::from_json(w.crypto);
        ASSERT_TRUE(envelope.has_value()) << envelope.error();
        auto plain = crypto::decrypt(*envelope, passphrase);
        ASSERT_TRUE(plain.has_value()) << plain.error().message();
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(plain->data()), plain->size()), secret);
    };

    std::mt19937 rng(std::random_device{}());
    std::uniform_int_distribution<int> delay_us(0, 20'000);
    constexpr int kRounds = 200;
    for (int round = 1; round <= kRounds; ++round) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            EncryptedWallet w = original;
            for (unsigned i = 0;; ++i) {
                // Alternate the length so a torn write could not pass for a whole file.
                w.name = (i % 2 == 0) ? "crash" : "crash-with-a-much-longer-name-" + std::to_string(i);
                if (!vault::save_encrypted_wallet(w, root_)) ::_exit(1);
            }
        }
        ::usleep(static_cast<useconds_t>(delay_us(rng)));
        ::kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status)) << "saving failed in the child, round " << round;

        for (const auto& e : fs::directory_iterator(wallets_)) {
            if (e.path().extension() != ".json") continue;
            auto parsed = EncryptedWallet::from_file_text(read_text(e.path()));
            ASSERT_TRUE(parsed.has_value()) << "round " << round << ": " << parsed.error();
            ASSERT_EQ(parsed->crypto, original.crypto);
        }
        CaptureStderr();
        auto list = vault::list_encrypted_wallets(root_);
        ASSERT_EQ(GetCapturedStderr(), "");
        ASSERT_TRUE(list.has_value());
        ASSERT_EQ(list->size(), 1u) << "round " << round;
        if (round % 50 == 0) check_decrypts(list->front());
    }
    auto last = vault::load_wallet_by_name_or_id(original.id, root_);
    ASSERT_TRUE(last.has_value());
    check_decrypts(*last);
}

}  // namespace
