#pragma once

#include <algorithm>
#include <chrono>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "qel_core/wallet_file.hpp"

namespace qel_lib::vault {

using OptPath = std::optional<std::filesystem::path>;

// The given root unchanged, else <home>/.qel. Io "cannot find the home
// directory: ..." when no root is given and there is no home directory.
[[nodiscard]] std::expected<std::filesystem::path, QelLibError> resolve_vault_path(const OptPath& vault_root);
// Creates <root>/wallets and its parents, then tightens the root and the
// wallets directory (set_dir_permissions). Creation failure: Io.
[[nodiscard]] std::expected<std::filesystem::path, QelLibError> wallets_dir(const OptPath& vault_root);
// Sets mode 0700 on a directory that belongs to this user and is not shared
// (no sticky bit). A directory that is someone else's or shared is left as
// it is; for it, and when the change fails, prints "warning: failed to set
// permissions on <path>: <reason>".
void set_dir_permissions(const std::filesystem::path& dir);
// Prints "warning: <path> has permissions <mode>, expected 0700" when the
// permission bits differ from 0700. Never fails.
void check_vault_permissions(const std::filesystem::path& dir);

// The vault's writer lock, held until destroyed: an advisory lock on the file
// ".qel-lock" in the wallets directory (a name that listing ignores). Every
// change that depends on what the vault holds (is the name free? then save;
// find, then remove) happens under it, so that two processes cannot both see
// a name free. Reading takes no lock.
class WriteLock {
public:
    WriteLock(WriteLock&& other) noexcept;
    WriteLock& operator=(WriteLock&& other) noexcept;
    WriteLock(const WriteLock&) = delete;
    WriteLock& operator=(const WriteLock&) = delete;
    ~WriteLock();

private:
    friend std::expected<WriteLock, QelLibError> lock_for_writing(const OptPath&, std::chrono::milliseconds);
    explicit WriteLock(int fd) noexcept : fd_(fd) {}
    int fd_ = -1;
};

inline constexpr std::chrono::milliseconds kLockWait{5000};

// Takes the writer lock of the vault (creating the wallets directory as
// wallets_dir does), waiting at most `wait` for another writer to finish.
// Io "cannot open the vault lock <path>: <error>", or after the wait Io
// "timed out waiting for the vault lock <path>: another process is writing
// to the vault". The lock is per process and call: do not take it twice.
[[nodiscard]] std::expected<WriteLock, QelLibError> lock_for_writing(const OptPath& vault_root,
                                                                    std::chrono::milliseconds wait = kLockWait);

// Writes "<id>.json" atomically (temporary file, fsync, rename, fsync of the
// directory, whose failure is only a warning), mode 0600, and removes
// temporary files that saves killed midway left behind more than ten minutes
// ago. Callers that checked the vault first hold the writer lock. An unsafe id
// ("", ".", "..", or containing '/' or NUL) fails with InvalidInput "unsafe
// wallet id: '<id>'".
[[nodiscard]] std::expected<void, QelLibError> save_encrypted_wallet(const qel_core::EncryptedWallet& wallet,
                                                                    const OptPath& vault_root);
// Every readable wallet file, newest first (stable). Unreadable or
// unparsable files are skipped with a warning.
[[nodiscard]] std::expected<std::vector<qel_core::EncryptedWallet>, QelLibError> list_encrypted_wallets(
    const OptPath& vault_root);
// Calls `take` with the public part of every wallet that
// list_encrypted_wallets would list, in directory order; the views are valid
// during the call only. Cheaper than the full listing: no envelope is kept.
// Unreadable or unparsable files are skipped with the same warnings.
[[nodiscard]] std::expected<void, QelLibError> visit_wallets(
    const OptPath& vault_root, const std::function<void(const qel_core::WalletFileView&)>& take);
// The listing order: newest first by the "created_at" text, and directory
// order among equal times.
template <class T>
void sort_newest_first(std::vector<T>& items) {
    std::stable_sort(items.begin(), items.end(), [](const T& a, const T& b) { return a.created_at > b.created_at; });
}
// By exact ID first, then by exact name: WalletNotFound or AmbiguousWallet.
[[nodiscard]] std::expected<qel_core::EncryptedWallet, QelLibError> load_wallet_by_name_or_id(
    std::string_view name_or_id, const OptPath& vault_root);
[[nodiscard]] std::expected<bool, QelLibError> wallet_name_exists(std::string_view name, const OptPath& vault_root);
// Removes "<id>.json": WalletNotFound when absent, InvalidInput for an unsafe id.
[[nodiscard]] std::expected<void, QelLibError> delete_wallet_file(std::string_view id, const OptPath& vault_root);

}  // namespace qel_lib::vault
