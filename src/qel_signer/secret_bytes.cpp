#include "secret_bytes.hpp"

#include <atomic>
#include <cerrno>
#include <mutex>
#include <unordered_map>
#include <cstdio>
#include <string>
#include <utility>

#include <sodium.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "qel_core/os_error.hpp"

namespace qel_signer {

namespace {
std::atomic<testing::ReleaseObserver> g_release_observer{nullptr};

// Straight to the kernel: sanitizer runtimes replace mlock/munlock with
// no-ops, which would hide both the lock and its refusal.
int sys_mlock(const void* data, std::size_t len) { return static_cast<int>(::syscall(SYS_mlock, data, len)); }
int sys_munlock(const void* data, std::size_t len) { return static_cast<int>(::syscall(SYS_munlock, data, len)); }


// The kernel locks whole pages, not buffers: unlocking one buffer's pages
// would also unlock another live buffer that shares a page with it, on this
// thread or another. So each page's buffers are counted, and a page is
// unlocked only when its last buffer goes.
class LockedPages {
public:
    // 0, or the error of a page the kernel refused to lock (tried again for
    // every buffer on it).
    int lock(const void* data, std::size_t len) {
        int err = 0;
        const std::lock_guard guard(mutex_);
        for_each_page(data, len, [&](std::uintptr_t page) {
            Page& p = pages_[page];
            ++p.buffers;
            if (!p.locked) {
                p.locked = sys_mlock(reinterpret_cast<const void*>(page), page_size_) == 0;
                if (!p.locked && err == 0) err = errno;
            }
        });
        return err;
    }

    void unlock(const void* data, std::size_t len) {
        const std::lock_guard guard(mutex_);
        for_each_page(data, len, [&](std::uintptr_t page) {
            const auto it = pages_.find(page);
            if (it == pages_.end() || --it->second.buffers != 0) return;
            if (it->second.locked) (void)sys_munlock(reinterpret_cast<const void*>(page), page_size_);
            pages_.erase(it);
        });
    }

private:
    struct Page {
        std::size_t buffers = 0;
        bool locked = false;
    };
    template <class F>
    void for_each_page(const void* data, std::size_t len, F f) const {
        const auto start = reinterpret_cast<std::uintptr_t>(data) & ~(page_size_ - 1);
        const auto end = reinterpret_cast<std::uintptr_t>(data) + len;
        for (std::uintptr_t page = start; page < end; page += page_size_) f(page);
    }

    std::mutex mutex_;
    std::unordered_map<std::uintptr_t, Page> pages_;
    const std::uintptr_t page_size_ = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
};

LockedPages& locked_pages() {
    static LockedPages* const pages = new LockedPages;  // never destroyed: buffers may outlive static destruction
    return *pages;
}
}  // namespace

bool mlock_slice(const void* data, std::size_t len) {
    if (len == 0) return true;
    const int err = locked_pages().lock(data, len);
    if (err == 0) return true;
    // One write per warning so that concurrent warnings do not interleave.
    const std::string line =
        "warning: mlock failed (" + qel_core::os_error_text(err) + "), key material may be swapped to disk\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    return false;
}

void wipe(void* data, std::size_t len) noexcept { sodium_memzero(data, len); }

SecretBytes::SecretBytes(Bytes&& bytes) noexcept : bytes_(std::move(bytes)) {
    // Best effort: a refused lock has already been reported.
    (void)mlock_slice(bytes_.data(), bytes_.size());
}

SecretBytes SecretBytes::from_slice(ByteSpan data) {
    // Range construction allocates exactly data.size() bytes.
    return SecretBytes(Bytes(data.begin(), data.end()));
}

// A moved-from vector is left without storage, so the source is empty.
SecretBytes::SecretBytes(SecretBytes&& other) noexcept : bytes_(std::move(other.bytes_)) {}

SecretBytes& SecretBytes::operator=(SecretBytes&& other) noexcept {
    if (this != &other) {
        release();
        // release() left an empty vector without storage; the source gets it.
        bytes_.swap(other.bytes_);
    }
    return *this;
}

SecretBytes::~SecretBytes() { release(); }

std::uint8_t* SecretBytes::mutable_data() noexcept { return bytes_.data(); }

void SecretBytes::release() noexcept {
    if (bytes_.capacity() == 0) return;
    const std::size_t len = bytes_.size();
    sodium_memzero(bytes_.data(), len);
    bytes_.clear();
    // Growing within the capacity never reallocates, and it makes the whole
    // allocation addressable as elements, so the wipe below stays in bounds
    // even for sanitizers that track the vector's used range.
    const std::size_t cap = bytes_.capacity();
    bytes_.resize(cap);
    std::uint8_t* base = bytes_.data();
    sodium_memzero(base, cap);
    if (len != 0) locked_pages().unlock(base, len);
    if (auto observer = g_release_observer.load(std::memory_order_acquire)) observer(base, cap);
    Bytes().swap(bytes_);
}

namespace testing {
void set_release_observer(ReleaseObserver observer) noexcept {
    g_release_observer.store(observer, std::memory_order_release);
}
}  // namespace testing

}  // namespace qel_signer
