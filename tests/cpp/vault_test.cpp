#include "qel_lib/vault.hpp"

#include <sys/stat.h>

#include "support.hpp"

namespace {

namespace vault = qel_lib::vault;
using qel_test::error_of;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

class VaultTest : public qel_test::TempDirTest {
protected:
    fs::path root() const { return dir_ / "vault"; }
};

TEST_F(VaultTest, UnsafeIdsAreRefusedForSaveAndDelete) {
    for (const std::string& id : {std::string(), std::string("."), std::string(".."), std::string("a/b"),
                                 std::string("../x"), std::string("/abs"), std::string("a\0b", 3)}) {
        const std::string expected =
            "invalid input: unsafe wallet id: '" + (id.size() == 3 && id[1] == '\0' ? "a\\x00b" : id) + "'";
        EXPECT_EQ(error_of(vault::save_encrypted_wallet(qel_test::wallet_with_id(id), root())), expected);
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
}

// A file name drives no terminal and no warning grows without bound: the
// path is escaped and cut after 200 characters, an escape counting as one.
TEST_F(VaultTest, FileNamesInWarningsAreEscapedAndCutShort) {
    const fs::path wallets = root() / "wallets";
    fs::create_directories(wallets);
    qel_test::write_text(wallets / ("\x1b]0;x\x07\x1b[2J" + std::string(200, 'n') + ".json"), "{");
    CaptureStderr();
    EXPECT_TRUE(vault::list_encrypted_wallets(root()).value().empty());
    EXPECT_EQ(GetCapturedStderr(), "warning: skipping " + wallets.string() + "/\\x1b]0;x\\x07\\x1b[2J" +
                                       std::string(200 - wallets.string().size() - 11, 'n') +
                                       "\u2026: The JSON document has an improper structure: missing or "
                                       "superfluous commas, braces, missing keys, etc.\n");
}

// That readers do not wait for it is test_threads.py's (they sign while it is held).
TEST_F(VaultTest, WriteLockExcludesWriters) {
    const fs::path lock = root() / "wallets" / ".qel-lock";
    {
        auto held = vault::lock_for_writing(root());
        ASSERT_TRUE(held.has_value()) << held.error().message();
        EXPECT_EQ(error_of(vault::lock_for_writing(root(), std::chrono::milliseconds(50))),
                  "I/O error: timed out waiting for the vault lock " + lock.string() +
                      ": another process is writing to the vault");
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
