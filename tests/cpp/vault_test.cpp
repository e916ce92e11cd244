#include "qel_lib/vault.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <set>

#include "support.hpp"

namespace {

namespace vault = qel_lib::vault;
using qel_core::EncryptedWallet;
using qel_test::error_of;
using qel_test::write_text;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;
using Names = std::vector<std::string>;

EncryptedWallet wallet(std::string id, std::string name, std::string created_at = "2025-01-01T00:00:00+00:00") {
    EncryptedWallet w;
    w.id = std::move(id);
    w.name = std::move(name);
    w.created_at = std::move(created_at);
    w.crypto = {{"cipher", "aes-256-gcm"}};
    return w;
}

unsigned mode_of(const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

bool set_immutable(const fs::path& path, bool on) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY);
    int flags = 0;
    bool ok = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    ok = ok && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    if (fd >= 0) ::close(fd);
    return ok;
}

class VaultTest : public qel_test::TempDirTest {
protected:
    void TearDown() override {
        for (const fs::path& p : immutable_) set_immutable(p, false);
        TempDirTest::TearDown();
    }
    void save(const EncryptedWallet& w) {
        auto r = vault::save_encrypted_wallet(w, root());
        ASSERT_TRUE(r) << r.error().message();
    }
    // The listed ids, and the warnings written meanwhile.
    std::pair<Names, std::string> list() {
        CaptureStderr();
        auto listed = vault::list_encrypted_wallets(root());
        std::string warnings = GetCapturedStderr();
        Names ids;
        for (const auto& w : listed.value()) ids.push_back(w.id);
        return {ids, warnings};
    }
    fs::path root() const { return dir_ / "vault"; }
    fs::path wallets() const { return dir_ / "vault" / "wallets"; }
    std::vector<fs::path> immutable_;
};

TEST_F(VaultTest, UnsafeIdsAreRefusedForSaveAndDelete) {
    for (const std::string& id : {std::string(), std::string("."), std::string(".."), std::string("a/b"),
                                 std::string("../x"), std::string("/abs"), std::string("a\0b", 3)}) {
        const std::string expected = "invalid input: unsafe wallet id: '" + id + "'";
        EXPECT_EQ(error_of(vault::save_encrypted_wallet(wallet(id, "n"), root())), expected);
        EXPECT_EQ(error_of(vault::delete_wallet_file(id, root())), expected);
    }
    EXPECT_TRUE(fs::is_empty(dir_));
}

TEST_F(VaultTest, ListingSkipsWhatIsNotAWalletFile) {
    ASSERT_TRUE(vault::wallets_dir(root()));
    const std::string good = wallet("good", "g").to_file_text();
    write_text(wallets() / "good.json", good);
    write_text(wallets() / "x.y.json", wallet("dotted", "d").to_file_text());
    write_text(dir_ / "target", wallet("linked", "l").to_file_text());
    fs::create_symlink(dir_ / "target", wallets() / "link.json");
    // Ignored silently.
    for (const char* name : {"a.txt", "b.JSON", ".json", ".qel-save-0011223344556677.tmp"}) {
        write_text(wallets() / name, good);
    }
    fs::create_directory(wallets() / "sub");
    // Reported and skipped.
    fs::create_directory(wallets() / "dir.json");
    write_text(wallets() / "bad.json", "{\"id\":");
    fs::create_symlink(dir_ / "missing", wallets() / "dangling.json");
    ASSERT_EQ(::mkfifo((wallets() / "fifo.json").c_str(), 0600), 0);

    auto [ids, err] = list();
    EXPECT_EQ(std::set<std::string>(ids.begin(), ids.end()), (std::set<std::string>{"good", "dotted", "linked"}));
    std::set<std::string> lines;
    std::istringstream in(err);
    for (std::string line; std::getline(in, line);) lines.insert(line);
    const std::string w = "warning: skipping " + wallets().string() + "/";
    EXPECT_EQ(lines, (std::set<std::string>{
                         w + "bad.json: unexpected end of input at line 1 column 7",
                         w + "dangling.json: No such file or directory (os error 2)",
                         w + "dir.json: Is a directory (os error 21)",
                         w + "fifo.json: not a regular file",
                     }));
}

// Newest first by the time text, whatever the fraction's width; equal times
// keep the order the directory listing delivers.
TEST_F(VaultTest, ListingIsNewestFirstAndStableForEqualTimes) {
    save(wallet("old", "o", "2024-12-31T23:59:59.999999999+00:00"));
    save(wallet("whole", "w", "2025-01-31T08:15:02+00:00"));
    save(wallet("new", "n", "2025-01-31T08:15:02.250113+00:00"));
    for (int i = 0; i < 8; ++i) save(wallet("eq" + std::to_string(i), "e", "2025-01-31T08:15:02.250+00:00"));
    Names expected{"new"};
    for (const auto& e : fs::directory_iterator(wallets())) {
        if (std::string id = e.path().stem(); id.starts_with("eq")) expected.push_back(id);
    }
    expected.insert(expected.end(), {"whole", "old"});
    EXPECT_EQ(list().first, expected);
}

// Only directories of this user that are not shared are tightened; the
// others keep their mode and get the set-permissions warning.
TEST_F(VaultTest, ExistingRootIsTightenedOnlyWhenItIsOurs) {
    if (!qel_test::can_change_owners()) GTEST_SKIP() << "needs root to give directories away";
    const std::string refused = "warning: failed to set permissions on " + root().string() + ": ";
    const std::tuple<mode_t, uid_t, bool, unsigned, std::string> cases[] = {  // mode, owner, via link, kept, warning
        {0755, ::geteuid(), false, 0700, ""},
        {01777, ::geteuid(), false, 01777, refused + "it is a shared directory (sticky bit set)\n"},
        {0755, 65534, false, 0755, refused + "it belongs to another user (uid 65534)\n"},
        {0755, 65534, true, 0755, refused + "it belongs to another user (uid 65534)\n"},
    };
    for (const auto& [mode, owner, via_symlink, kept_mode, warning] : cases) {
        fs::remove_all(dir_ / "target");
        fs::remove_all(root());
        const fs::path dir = via_symlink ? dir_ / "target" : root();
        fs::create_directory(dir);
        if (via_symlink) fs::create_directory_symlink(dir, root());
        ASSERT_EQ(::chmod(dir.c_str(), mode), 0);
        ASSERT_EQ(::chown(dir.c_str(), owner, static_cast<gid_t>(-1)), 0);
        EXPECT_EQ(list().second, warning);
        EXPECT_EQ(mode_of(dir), kept_mode);
        EXPECT_EQ(mode_of(wallets()), 0700u);  // created here, so ours
    }
}

TEST_F(VaultTest, PermissionWarnings) {
    CaptureStderr();
    vault::set_dir_permissions(dir_ / "absent");
    vault::check_vault_permissions(dir_ / "absent");  // silent
    fs::create_directory(dir_ / "open");
    ::chmod((dir_ / "open").c_str(), 0755);
    vault::check_vault_permissions(dir_ / "open");
    ::chmod((dir_ / "open").c_str(), 02700);  // only the low nine bits count
    vault::check_vault_permissions(dir_ / "open");
    EXPECT_EQ(GetCapturedStderr(), "warning: failed to set permissions on " + (dir_ / "absent").string() +
                                       ": No such file or directory (os error 2)\n"
                                       "warning: " + (dir_ / "open").string() +
                                       " has permissions 0755, expected 0700\n");

    // Directories that cannot be changed (root may chmod anything, but not an
    // immutable directory) are warned about and still listed.
    save(wallet("id-1", "n"));
    ::chmod(root().c_str(), 0755);
    ::chmod(wallets().c_str(), 0755);
    if (!set_immutable(wallets(), true)) GTEST_SKIP() << "file system has no immutable flag";
    immutable_.push_back(wallets());
    ASSERT_TRUE(set_immutable(root(), true));
    immutable_.push_back(root());
    EXPECT_EQ(list(), (std::pair<Names, std::string>{
                          {"id-1"},
                          "warning: failed to set permissions on " + root().string() +
                              ": Operation not permitted (os error 1)\n"
                              "warning: failed to set permissions on " + wallets().string() +
                              ": Operation not permitted (os error 1)\n"
                              "warning: " + wallets().string() + " has permissions 0755, expected 0700\n"}));
}

TEST_F(VaultTest, WriteLockExcludesWritersOnly) {
    const fs::path lock = wallets() / ".qel-lock";
    {
        auto held = vault::lock_for_writing(root());
        ASSERT_TRUE(held.has_value()) << held.error().message();
        EXPECT_EQ(error_of(vault::lock_for_writing(root(), std::chrono::milliseconds(50))),
                  "I/O error: timed out waiting for the vault lock " + lock.string() +
                      ": another process is writing to the vault");
        // Readers neither wait nor see the lock file.
        EXPECT_EQ(list(), (std::pair<Names, std::string>{}));
    }
    EXPECT_TRUE(vault::lock_for_writing(root(), std::chrono::milliseconds(0)));
    // A link planted in place of the lock file is not followed.
    fs::remove(lock);
    fs::create_symlink(dir_ / "elsewhere", lock);
    EXPECT_EQ(error_of(vault::lock_for_writing(root())),
              "I/O error: cannot open the vault lock " + lock.string() +
                  ": Too many levels of symbolic links (os error 40)");
    EXPECT_FALSE(fs::exists(dir_ / "elsewhere"));
}

}  // namespace
