// The vault's save when the directory cannot be synced after the rename. The
// test binary is linked with --wrap=fsync, so that the failure can be made to
// happen on demand.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include "qel_lib/vault.hpp"

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

namespace fs = std::filesystem;

// Once the rename has put the wallet in place, a failed directory sync must
// not report the save as failed: a retry would then find the name taken.
TEST(VaultSync, FailedDirectorySyncAfterRenameIsAWarning) {
    const fs::path root = fs::temp_directory_path() / ("qel-sync-" + std::to_string(::getpid()));
    fs::remove_all(root);
    qel_core::EncryptedWallet w;
    w.id = "abc";
    w.name = "n";
    w.created_at = "2025-01-01T00:00:00+00:00";
    w.crypto = {{"cipher", "aes-256-gcm"}};

    g_fail_dir_sync = true;
    testing::internal::CaptureStderr();
    const auto saved = qel_lib::vault::save_encrypted_wallet(w, root);
    const std::string warnings = testing::internal::GetCapturedStderr();
    g_fail_dir_sync = false;

    ASSERT_TRUE(saved) << saved.error().message();
    EXPECT_EQ(warnings, "warning: failed to sync " + (root / "wallets").string() +
                            ": Input/output error (os error 5)\n");
    const auto loaded = qel_lib::vault::load_wallet_by_name_or_id("n", root);
    ASSERT_TRUE(loaded) << loaded.error().message();
    EXPECT_EQ(loaded->id, "abc");
    fs::remove_all(root);
}

}  // namespace
