#include "qel_lib/vault.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include "support.hpp"

namespace {

namespace vault = qel_lib::vault;
using qel_core::EncryptedWallet;
using qel_test::error_of;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;
using Names = std::vector<std::string>;

EncryptedWallet wallet(std::string id) {
    EncryptedWallet w;
    w.id = std::move(id);
    w.name = "n";
    w.created_at = "2025-01-01T00:00:00+00:00";
    w.crypto = {{"cipher", "aes-256-gcm"}};
    return w;
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
        EXPECT_EQ(error_of(vault::save_encrypted_wallet(wallet(id), root())), expected);
        EXPECT_EQ(error_of(vault::delete_wallet_file(id, root())), expected);
    }
    EXPECT_TRUE(fs::is_empty(dir_));
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
    ASSERT_TRUE(vault::save_encrypted_wallet(wallet("id-1"), root()));
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
