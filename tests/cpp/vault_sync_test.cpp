// A directory sync that fails once the rename has put the wallet in place is
// only a warning: a retry would find the name taken. The test binary is linked
// with --wrap=fsync, so that the failure happens on demand.
#include <sys/stat.h>

#include <cerrno>

#include "qel_lib/vault.hpp"
#include "support.hpp"

namespace {
bool g_fail_dir_sync = false;
}  // namespace

extern "C" int __real_fsync(int fd);

extern "C" int __wrap_fsync(int fd) {
    struct stat st {};
    if (g_fail_dir_sync && ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        errno = EIO;
        return -1;
    }
    return __real_fsync(fd);
}

namespace {

using VaultSync = qel_test::TempDirTest;

TEST_F(VaultSync, FailedDirectorySyncAfterRenameIsAWarning) {
    g_fail_dir_sync = true;
    testing::internal::CaptureStderr();
    const auto saved = qel_lib::vault::save_encrypted_wallet(qel_test::wallet_with_id("abc"), dir_);
    const std::string warnings = testing::internal::GetCapturedStderr();
    g_fail_dir_sync = false;
    ASSERT_TRUE(saved) << saved.error().message();
    EXPECT_EQ(warnings, "warning: failed to sync " + (dir_ / "wallets").string() + ": Input/output error (os error 5)\n");
    EXPECT_EQ(qel_lib::vault::load_wallet_by_name_or_id("n", dir_).value().id, "abc");
}

}  // namespace
