#include "read_ahead.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <string_view>
#include <system_error>
#include <utility>

#include "qel_core/os_error.hpp"

namespace qel_lib::vault {

namespace {

// A wallet file is a few kilobytes; anything far larger is hostile or broken
// and is skipped rather than read into memory.
constexpr off_t kMaxWalletFileBytes = 16 << 20;

// Only names with the exact extension "json" count; a bare ".json" has no
// extension (the leading dot marks a hidden file, not an extension).
bool has_json_extension(std::string_view name) {
    return name.size() > 5 && name.ends_with(".json");
}

// Whole-file read of `name` in the directory `dir_fd` into `text`, reusing
// its buffer; false, with the text left incomplete, for a file larger than
// `limit` but within the largest wallet file. The error is an OS error text. Non-blocking
// open so that a FIFO planted in the vault cannot hang the listing. `gone`
// tells whether the file was removed since its name was read.
std::expected<bool, std::string> read_file(int dir_fd, const char* name, qel_core::PaddedText& text, off_t limit,
                                           bool& gone) {
    gone = false;
    const int fd = ::openat(dir_fd, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        const int err = errno;
        // A link to nothing is still there, and is reported.
        struct stat link {};
        gone = err == ENOENT && ::fstatat(dir_fd, name, &link, AT_SYMLINK_NOFOLLOW) != 0;
        return std::unexpected(qel_core::os_error_text(err));
    }
    const auto fail = [fd](std::string error) {
        ::close(fd);
        return std::unexpected(std::move(error));
    };
    struct stat st {};
    if (::fstat(fd, &st) != 0) return fail(qel_core::os_error_text(errno));
    if (S_ISDIR(st.st_mode)) return fail(qel_core::os_error_text(EISDIR));
    if (!S_ISREG(st.st_mode)) return fail("not a regular file");
    if (st.st_size > kMaxWalletFileBytes) return fail("file too large");
    if (st.st_size > limit) {
        ::close(fd);
        return false;
    }
    // Ask for one byte more than the file's size: a read that returns less
    // has met the end, so the usual file takes one read. A file that grew
    // meanwhile fills the request and is read on.
    text.set_size(0);
    std::size_t want = static_cast<std::size_t>(st.st_size) + 1;
    std::size_t used = 0;
    for (;;) {
        char* data = text.reserve(want);
        const ssize_t n = ::read(fd, data + used, want - used);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fail(qel_core::os_error_text(errno));
        used += static_cast<std::size_t>(n);
        text.set_size(used);
        if (n == 0 || used < want) {
            if (n == 0 || used == static_cast<std::size_t>(st.st_size)) break;
            continue;  // a short read before the end
        }
        if (used > static_cast<std::size_t>(limit)) {
            if (limit == kMaxWalletFileBytes) return fail("file too large");
            ::close(fd);  // it grew past what is read ahead
            return false;
        }
        want *= 2;
    }
    ::close(fd);
    return true;
}

}  // namespace

bool ReadAhead::start() {
    if (std::exchange(tried_, true)) return thread_.joinable();
    // The new thread inherits this mask: all signals blocked.
    sigset_t all;
    sigset_t old;
    ::sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &old);
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
        // No thread to be had: next() reads each file itself.
    }
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return thread_.joinable();
}

ReadAhead::~ReadAhead() {
    if (!thread_.joinable()) return;
    {
        const std::lock_guard lock(mutex_);
        stop_ = true;
    }
    freed_.notify_one();
    thread_.join();
}

bool ReadAhead::fill_one() {
    const dirent* entry = nullptr;
    for (;;) {
        errno = 0;
        entry = ::readdir(dir_);
        if (entry == nullptr) {
            const int err = errno;
            const std::lock_guard lock(mutex_);
            dir_errno_ = err;
            ended_ = true;
            return false;
        }
        if (has_json_extension(entry->d_name)) break;
    }
    {
        std::unique_lock lock(mutex_);
        if (tail_ - head_ == kSlots) {
            reader_waits_ = true;
            freed_.wait(lock, [this] { return stop_ || tail_ - head_ <= kSlots - kBatch; });
            reader_waits_ = false;
        }
        if (stop_) return false;
    }
    // Slot tail_ is this thread's alone until tail_ moves past it.
    Slot& slot = slots_[tail_ % kSlots];
    slot.file.name = entry->d_name;
    slot.file.error.clear();
    slot.deferred = false;
    if (auto read = read_file(dir_fd_, entry->d_name, slot.file.text, kReadAheadBytes, slot.file.gone); !read) {
        slot.file.error = std::move(read.error());
    } else {
        slot.deferred = !*read;
    }
    bool wake = false;
    {
        const std::lock_guard lock(mutex_);
        ++tail_;
        wake = taker_waits_ && tail_ - head_ >= kBatch;
    }
    if (wake) filled_.notify_one();
    return true;
}

void ReadAhead::run() noexcept {
    try {
        while (fill_one()) {
        }
    } catch (...) {
        const std::lock_guard lock(mutex_);
        ended_ = true;
        thrown_ = std::current_exception();
    }
    filled_.notify_one();
}

std::expected<ReadAhead::File*, int> ReadAhead::next() {
    std::unique_lock lock(mutex_);
    if (handed_out_) {
        ++head_;
        handed_out_ = false;
        if (reader_waits_ && tail_ - head_ <= kSlots - kBatch) freed_.notify_one();
    }
    if (!thread_.joinable() && head_ == tail_ && !ended_) {
        // Nothing is read ahead yet: a small vault is read here, one file at a time.
        const bool small = head_ < kSlots;
        lock.unlock();
        if (small || !start()) static_cast<void>(fill_one());
        lock.lock();
    }
    if (head_ == tail_ && !ended_) {
        taker_waits_ = true;
        filled_.wait(lock, [this] { return tail_ - head_ >= kBatch || ended_; });
        taker_waits_ = false;
    }
    if (head_ == tail_) {
        if (thrown_) std::rethrow_exception(thrown_);
        if (dir_errno_ != 0) return std::unexpected(dir_errno_);
        return nullptr;
    }
    handed_out_ = true;
    Slot& slot = slots_[head_ % kSlots];
    lock.unlock();
    if (!slot.deferred) return &slot.file;
    large_.name = slot.file.name;
    large_.error.clear();
    if (auto read = read_file(dir_fd_, large_.name.c_str(), large_.text, kMaxWalletFileBytes, large_.gone); !read) {
        large_.error = std::move(read.error());
    }
    return &large_;
}

}  // namespace qel_lib::vault
