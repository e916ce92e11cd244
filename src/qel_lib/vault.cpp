#include "vault.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <memory>
#include <thread>
#include <utility>

#include "qel_core/call_context.hpp"
#include "qel_core/config.hpp"
#include "qel_core/os_error.hpp"
#include "qel_core/shown.hpp"
#include "qel_signer/random.hpp"
#include "read_ahead.hpp"

namespace qel_lib::vault {

namespace {

namespace fs = std::filesystem;
using qel_core::EncryptedWallet;

constexpr const char* kLockName = ".qel-lock";
// Temporary files are ".qel-save-<16 hex digits>.tmp": a leading dot and no
// ".json" ending, so that listing never mistakes a leftover for a wallet.
constexpr std::string_view kTempPrefix = ".qel-save-";
constexpr std::string_view kTempSuffix = ".tmp";
constexpr std::size_t kTempRandomDigits = 16;
// A save takes milliseconds; a temporary this old belongs to a save that was
// killed, and it is a full copy of a sealed wallet that nothing else removes.
constexpr std::time_t kStaleTempSeconds = 10 * 60;

// Paths as warnings and errors quote them: a file name may hold anything.
std::string shown(const fs::path& path) { return qel_core::shown(path.string()); }

// One write per line, so that warnings from calls on several threads do not
// interleave.
void warn(const std::string& line) {
    const std::string text = "warning: " + line + "\n";
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

bool is_unsafe_id(std::string_view id) {
    return id.empty() || id == "." || id == ".." || id.find('/') != std::string_view::npos ||
           id.find('\0') != std::string_view::npos;
}

QelLibError unsafe_id(std::string_view id) {
    return QelLibError::invalid_input("unsafe wallet id: '" + qel_core::shown(id) + "'");
}

bool write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::expected<std::string, QelLibError> temp_name() {
    std::array<std::uint8_t, kTempRandomDigits / 2> rnd{};
    if (auto r = qel_signer::fill_random(rnd); !r) return std::unexpected(QelLibError::io(r.error()));
    static constexpr char kHex[] = "0123456789abcdef";
    std::string name(kTempPrefix);
    for (std::uint8_t b : rnd) {
        name += kHex[b >> 4];
        name += kHex[b & 0x0F];
    }
    name += kTempSuffix;
    return name;
}

bool is_temp_name(std::string_view name) {
    if (name.size() != kTempPrefix.size() + kTempRandomDigits + kTempSuffix.size() ||
        !name.starts_with(kTempPrefix) || !name.ends_with(kTempSuffix)) {
        return false;
    }
    const std::string_view digits = name.substr(kTempPrefix.size(), kTempRandomDigits);
    return std::all_of(digits.begin(), digits.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// Best effort: a temporary that cannot be removed now is tried again by the
// next save.
void remove_stale_temporaries(const fs::path& dir) {
    DIR* handle = ::opendir(dir.c_str());
    if (handle == nullptr) return;
    const int dfd = ::dirfd(handle);
    const std::time_t now = std::time(nullptr);
    while (const dirent* entry = ::readdir(handle)) {
        if (!is_temp_name(entry->d_name)) continue;
        struct stat st {};
        if (::fstatat(dfd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
        if (now - st.st_mtime > kStaleTempSeconds) ::unlinkat(dfd, entry->d_name, 0);
    }
    ::closedir(handle);
}

// Writes text to a fresh temporary file in dir and renames it over target,
// so that at every instant target holds either the old or the new content.
std::expected<void, QelLibError> write_atomically(const fs::path& dir, const fs::path& target,
                                                  std::string_view text) {
    auto name = temp_name();
    if (!name) return std::unexpected(name.error());
    const fs::path tmp = dir / *name;
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return std::unexpected(QelLibError::io_errno(errno));

    auto fail = [&](int err, bool opened) -> std::expected<void, QelLibError> {
        if (opened) ::close(fd);
        ::unlink(tmp.c_str());
        return std::unexpected(QelLibError::io_errno(err));
    };
    if (!write_all(fd, text)) return fail(errno, true);
    // The creation mode is filtered by the umask; the file must end up 0600
    // whatever the umask says.
    if (::fchmod(fd, 0600) != 0) {
        warn("failed to set permissions on " + shown(target) + ": " + qel_core::os_error_text(errno));
    }
    if (::fsync(fd) != 0) return fail(errno, true);
    if (::close(fd) != 0) return fail(errno, false);
    if (::rename(tmp.c_str(), target.c_str()) != 0) return fail(errno, false);

    // Make the rename itself durable. Some file systems refuse fsync on a
    // directory (EINVAL). The file is in place from here on, so a failure is
    // a warning: reporting an error would have the caller retry a save that
    // has already happened.
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int rc = dfd < 0 ? -1 : ::fsync(dfd);
    const int err = errno;
    if (dfd >= 0) ::close(dfd);
    if (rc != 0 && err != EINVAL) warn("failed to sync " + shown(dir) + ": " + qel_core::os_error_text(err));
    return {};
}

}  // namespace

std::expected<fs::path, QelLibError> resolve_vault_path(const OptPath& vault_root) {
    if (vault_root) return *vault_root;
    auto path = qel_core::default_vault_path();
    if (!path) return std::unexpected(QelLibError::io(path.error()));
    return std::move(*path);
}

namespace {

QelLibError refuse_to_use(const fs::path& path, std::string_view why) {
    return QelLibError::io("refusing to use " + shown(path) + ": " + std::string(why));
}

// Refuses a directory (or the lock file) that another user controls, as ssh
// does its own files: another user's vault directory or lock could hand
// this user their wallets, or take the lock and keep it. The vault root may
// also be root's, and group- or world-writable when sticky (so that /tmp
// itself serves as a root); the wallets directory and the lock are this
// user's, writable by no one else.
std::expected<void, QelLibError> refuse_if_controlled_by_others(const fs::path& path, const struct stat& st,
                                                               bool is_root) {
    const bool ours = st.st_uid == ::geteuid();
    if (!ours && !(is_root && st.st_uid == 0)) return std::unexpected(refuse_to_use(path, "it is owned by another user"));
    const bool shared = is_root && (st.st_mode & S_ISVTX) != 0;
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && !shared) {
        return std::unexpected(refuse_to_use(path, "it is writable by other users"));
    }
    return {};
}

// Creates the directory if need be, tightens it when it is this user's, and
// refuses it if another user controls it.
std::expected<void, QelLibError> take_directory(const fs::path& dir, bool is_root) {
    std::error_code ec;
    if (is_root) {
        fs::create_directories(dir, ec);
    } else {
        fs::create_directory(dir, ec);
    }
    if (ec) return std::unexpected(QelLibError::io_errno(ec.value()));
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0) return std::unexpected(QelLibError::io_errno(errno));
    if (st.st_uid == ::geteuid()) {
        set_dir_permissions(dir);
        if (::stat(dir.c_str(), &st) != 0) return std::unexpected(QelLibError::io_errno(errno));
    }
    return refuse_if_controlled_by_others(dir, st, is_root);
}

}  // namespace

std::expected<fs::path, QelLibError> wallets_dir(const OptPath& vault_root) {
    try {
        auto root = resolve_vault_path(vault_root);
        if (!root) return std::unexpected(root.error());
        // The root is judged before anything is made in it.
        if (auto taken = take_directory(*root, true); !taken) return std::unexpected(taken.error());
        fs::path dir = *root / "wallets";
        if (auto taken = take_directory(dir, false); !taken) return std::unexpected(taken.error());
        return dir;
    } catch (const std::exception& e) {
        return std::unexpected(QelLibError::io(e.what()));
    }
}

void set_dir_permissions(const fs::path& dir) {
    const auto refuse = [&](const std::string& reason) {
        warn("failed to set permissions on " + shown(dir) + ": " + reason);
    };
    // One descriptor for the check and the change, so that the directory
    // changed is the one checked even if the path is swapped meanwhile.
    // O_PATH needs no permission on the directory itself.
    const int fd = ::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return refuse(qel_core::os_error_text(errno));
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        refuse(qel_core::os_error_text(errno));
    } else if (st.st_uid != ::geteuid()) {
        // A vault placed in someone else's directory must not take it over.
        refuse("it belongs to another user (uid " + std::to_string(st.st_uid) + ")");
    } else if ((st.st_mode & S_ISVTX) != 0) {
        // A shared directory such as /tmp stays usable by everyone.
        refuse("it is a shared directory (sticky bit set)");
    } else if ((st.st_mode & 07777) != 0700) {
        // fchmod refuses O_PATH descriptors; the descriptor's /proc entry does not.
        const std::string self = "/proc/self/fd/" + std::to_string(fd);
        if (::chmod(self.c_str(), 0700) != 0) refuse(qel_core::os_error_text(errno));
    }
    ::close(fd);
}

void check_vault_permissions(const fs::path& dir) {
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0) return;
    const unsigned mode = st.st_mode & 0777;
    if (mode != 0700) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "%04o", mode);
        warn(shown(dir) + " has permissions " + buf + ", expected 0700");
    }
}

WriteLock::WriteLock(WriteLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

WriteLock& WriteLock::operator=(WriteLock&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
}

WriteLock::~WriteLock() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the lock
}

std::expected<WriteLock, QelLibError> lock_for_writing(const OptPath& vault_root, std::chrono::milliseconds wait) {
    auto dir = wallets_dir(vault_root);
    if (!dir) return std::unexpected(dir.error());
    const fs::path path = *dir / kLockName;
    // Not following links and not blocking: a planted symlink or FIFO fails
    // instead of redirecting or hanging the lock.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) {
        return std::unexpected(
            QelLibError::io("cannot open the vault lock " + shown(path) + ": " + qel_core::os_error_text(errno)));
    }
    WriteLock lock(fd);
    struct stat st {};
    if (::fstat(fd, &st) != 0) return std::unexpected(QelLibError::io_errno(errno));
    if (auto ours = refuse_if_controlled_by_others(path, st, false); !ours) return std::unexpected(ours.error());
    // Polled rather than blocking, so that the wait has a bound and the
    // caller can end it. The lock belongs to this open description of the
    // file: a writer on another thread of this process opens its own, and so
    // waits here as one in another process does.
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return lock;
        const int err = errno;  // the stop check may run Python code, which may set errno
        if (qel_core::stop_requested()) return std::unexpected(QelLibError::interrupted());
        if (err != EWOULDBLOCK && err != EINTR) {
            return std::unexpected(QelLibError::io("cannot lock the vault lock " + shown(path) + ": " +
                                                   qel_core::os_error_text(err)));
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return std::unexpected(QelLibError::io("timed out waiting for the vault lock " + shown(path) +
                                                   ": another process is writing to the vault"));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::expected<void, QelLibError> save_encrypted_wallet(const EncryptedWallet& wallet, const OptPath& vault_root) {
    if (is_unsafe_id(wallet.id)) return std::unexpected(unsafe_id(wallet.id));
    auto dir = wallets_dir(vault_root);
    if (!dir) return std::unexpected(dir.error());
    remove_stale_temporaries(*dir);
    try {
        const fs::path target = *dir / (wallet.id + ".json");
        const std::string text = wallet.to_file_text();
        return write_atomically(*dir, target, text);
    } catch (const std::exception& e) {
        return std::unexpected(QelLibError::json(e.what()));
    }
}

namespace {

// The listing loop: every wallet file of the vault in directory order (read
// ahead of the parsing in a large vault), lent to the reader as its buffer
// and handed to `take(reader, error)`, which parses it, or sets `error` to
// the parser's text and returns false.
// Unreadable and unparsable files are skipped with a warning.
template <class Take>
std::expected<void, QelLibError> read_wallet_files(const OptPath& vault_root, Take take) {
    auto dir = wallets_dir(vault_root);
    if (!dir) return std::unexpected(dir.error());
    check_vault_permissions(*dir);

    DIR* handle = ::opendir(dir->c_str());
    if (handle == nullptr) {
        if (errno == ENOENT) return {};
        return std::unexpected(QelLibError::io_errno(errno));
    }
    struct CloseDir {
        void operator()(DIR* d) const { ::closedir(d); }
    };
    const std::unique_ptr<DIR, CloseDir> open_dir(handle);
    try {
        qel_core::WalletFileReader reader;
        ReadAhead files(handle);
        std::string error;
        for (;;) {
            auto next = files.next();
            if (!next) return std::unexpected(QelLibError::io_errno(next.error()));
            ReadAhead::File* file = *next;
            if (file == nullptr) break;
            // A wallet deleted while the vault is listed is simply not listed.
            if (file->gone) continue;
            if (!file->error.empty()) {
                warn("skipping " + shown(*dir / file->name) + ": " + file->error);
                continue;
            }
            // The reader parses its own buffer: lend it the file's.
            std::swap(reader.buffer(), file->text);
            const bool taken = take(reader, error);
            std::swap(reader.buffer(), file->text);
            if (!taken) warn("skipping " + shown(*dir / file->name) + ": " + error);
        }
    } catch (const std::exception& e) {
        return std::unexpected(QelLibError::io(e.what()));
    }
    return {};
}

}  // namespace

std::expected<std::vector<EncryptedWallet>, QelLibError> list_encrypted_wallets(const OptPath& vault_root) {
    std::vector<EncryptedWallet> wallets;
    auto listed = read_wallet_files(vault_root, [&](qel_core::WalletFileReader& reader, std::string& error) {
        auto wallet = reader.read();
        if (!wallet) {
            error = std::move(wallet.error());
            return false;
        }
        wallets.push_back(std::move(*wallet));
        return true;
    });
    if (!listed) return std::unexpected(listed.error());
    sort_newest_first(wallets);
    return wallets;
}

std::expected<void, QelLibError> visit_wallets(const OptPath& vault_root,
                                               const std::function<void(const qel_core::WalletFileView&)>& take) {
    return read_wallet_files(vault_root, [&](qel_core::WalletFileReader& reader, std::string& error) {
        auto wallet = reader.read_public();
        if (!wallet) {
            error = std::move(wallet.error());
            return false;
        }
        take(*wallet);
        return true;
    });
}

std::expected<EncryptedWallet, QelLibError> load_wallet_by_name_or_id(std::string_view name_or_id,
                                                                     const OptPath& vault_root) {
    auto wallets = list_encrypted_wallets(vault_root);
    if (!wallets) return std::unexpected(wallets.error());
    for (EncryptedWallet& w : *wallets) {
        if (w.id == name_or_id) return std::move(w);
    }
    std::size_t count = 0;
    EncryptedWallet* match = nullptr;
    for (EncryptedWallet& w : *wallets) {
        if (w.name == name_or_id) {
            if (match == nullptr) match = &w;
            ++count;
        }
    }
    if (count == 0) return std::unexpected(QelLibError::wallet_not_found(std::string(name_or_id)));
    if (count > 1) return std::unexpected(QelLibError::ambiguous_wallet(std::string(name_or_id), count));
    return std::move(*match);
}

std::expected<bool, QelLibError> wallet_name_exists(std::string_view name, const OptPath& vault_root) {
    bool found = false;
    auto listed = visit_wallets(vault_root, [&](const qel_core::WalletFileView& w) { found |= w.name == name; });
    if (!listed) return std::unexpected(listed.error());
    return found;
}

std::expected<void, QelLibError> delete_wallet_file(std::string_view id, const OptPath& vault_root) {
    if (is_unsafe_id(id)) return std::unexpected(unsafe_id(id));
    auto dir = wallets_dir(vault_root);
    if (!dir) return std::unexpected(dir.error());
    const fs::path target = *dir / (std::string(id) + ".json");
    struct stat st {};
    if (::stat(target.c_str(), &st) != 0) return std::unexpected(QelLibError::wallet_not_found(std::string(id)));
    if (::unlink(target.c_str()) != 0) return std::unexpected(QelLibError::io_errno(errno));
    return {};
}

}  // namespace qel_lib::vault
