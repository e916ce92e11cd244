#include "qel_signer/secret_bytes.hpp"

#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>

#include <cstdio>
#include <memory>

#include "support.hpp"

namespace {

using qel_signer::Bytes;
using qel_signer::SecretBytes;

// What the observer saw of each allocation as it went back to the allocator.
struct Released {
    const std::uint8_t* data;
    std::size_t capacity;
    bool all_zero;
    bool operator==(const Released&) const = default;
};
using Log = std::vector<Released>;
std::vector<Released> g_released;

void record(const std::uint8_t* data, std::size_t capacity) {
    bool zero = true;
    for (std::size_t i = 0; i < capacity; ++i) zero = zero && data[i] == 0;
    g_released.push_back({data, capacity, zero});
}

class SecretBytesTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_released.clear();
        qel_signer::testing::set_release_observer(record);
    }
    void TearDown() override { qel_signer::testing::set_release_observer(nullptr); }
};

// A buffer taken over is wiped to its whole capacity, beyond its length and
// when empty; a copy is made into an allocation of exactly its size.
TEST_F(SecretBytesTest, WipesEveryAllocationWhole) {
    Bytes v(64, 0xAA);
    v.resize(10);  // bytes 10..63 keep 0xAA but are no longer elements
    const std::uint8_t* taken = v.data();
    Bytes e(8, 0x5A);
    e.clear();
    const std::uint8_t* emptied = e.data();
    const std::uint8_t src[] = {1, 2, 3, 4, 5};
    const std::uint8_t* copy = nullptr;
    {
        SecretBytes s(std::move(v));
        EXPECT_EQ(s.data(), taken);  // taken over, not copied
        EXPECT_EQ(s.size(), 10U);
        SecretBytes t(std::move(e));
        const auto c = SecretBytes::from_slice(src);
        copy = c.data();
        EXPECT_EQ(Bytes(c.data(), c.data() + c.size()), Bytes(src, src + 5));
        SecretBytes none;
    }
    EXPECT_EQ(g_released, (Log{{copy, 5, true}, {emptied, 8, true}, {taken, 64, true}}));
}

TEST_F(SecretBytesTest, MovesTransferOwnershipAndReleaseOnce) {
    SecretBytes a(Bytes(32, 0x11));
    const std::uint8_t* a_data = a.data();
    SecretBytes b(std::move(a));
    EXPECT_TRUE(a.empty());
    EXPECT_EQ(b.data(), a_data);

    SecretBytes c(Bytes(16, 0x22));
    const std::uint8_t* c_data = c.data();
    c = std::move(b);  // c's old buffer is released now
    EXPECT_TRUE(b.empty());
    EXPECT_EQ(g_released, (Log{{c_data, 16, true}}));
    c.release();
    EXPECT_TRUE(c.empty());
    // Nothing is left for the destructors of a, b and c.
    EXPECT_EQ(g_released, (Log{{c_data, 16, true}, {a_data, 32, true}}));
}

// Root holds CAP_IPC_LOCK, which overrides RLIMIT_MEMLOCK, so the child gives
// the capability up entirely before lowering the limit to zero.
bool drop_ipc_lock() {
    if (prctl(PR_CAPBSET_DROP, CAP_IPC_LOCK, 0, 0, 0) != 0) return false;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct caps[2]{};
    if (syscall(SYS_capget, &header, caps) != 0) return false;
    const unsigned bit = 1U << (CAP_IPC_LOCK % 32);
    caps[CAP_IPC_LOCK / 32].effective &= ~bit;
    caps[CAP_IPC_LOCK / 32].permitted &= ~bit;
    caps[CAP_IPC_LOCK / 32].inheritable &= ~bit;
    if (syscall(SYS_capset, &header, caps) != 0) return false;
    const rlimit none{0, 0};
    return setrlimit(RLIMIT_MEMLOCK, &none) == 0;
}

TEST(SecretBytesLock, RefusedLockWarnsOncePerNonEmptyBuffer) {
    EXPECT_TRUE(qel_signer::mlock_slice(nullptr, 0));
    const std::string line =
        "warning: mlock failed (Operation not permitted (os error 1)), key material may be swapped to disk\n";
    EXPECT_EQ(qel_test::in_child([] {
                  testing::internal::CaptureStderr();
                  if (!drop_ipc_lock()) return std::string("could not drop CAP_IPC_LOCK");
                  {
                      const std::uint8_t key[3] = {7, 8, 9};
                      SecretBytes a(Bytes(32, 1));
                      SecretBytes b = SecretBytes::from_slice(key);
                      SecretBytes empty(Bytes{});
                  }
                  return testing::internal::GetCapturedStderr();
              }),
              line + line);
}

// Whether the kernel holds the page of `p` locked: the "Locked:" size of
// the mapping it lies in (locking part of a mapping splits it off).
bool page_locked(const void* p) {
    std::ifstream smaps("/proc/self/smaps");
    const auto at = reinterpret_cast<std::uintptr_t>(p);
    bool inside = false;
    for (std::string line; std::getline(smaps, line);) {
        std::uintptr_t lo = 0, hi = 0;
        if (std::sscanf(line.c_str(), "%lx-%lx ", &lo, &hi) == 2) inside = lo <= at && at < hi;
        if (inside && line.starts_with("Locked:")) return std::stoul(line.substr(7)) > 0;
    }
    return false;
}

// The kernel locks pages, not buffers: a page shared by two buffers stays
// locked until the second of them is released.
TEST(SecretBytesLock, APageStaysLockedWhileAnyBufferOnItLives) {
    std::vector<SecretBytes> buffers;
    for (int i = 0; i < 64; ++i) buffers.emplace_back(Bytes(32, static_cast<std::uint8_t>(i)));
    const auto page = [](const SecretBytes& s) { return reinterpret_cast<std::uintptr_t>(s.data()) >> 12; };
    std::size_t first = 0, second = 1;
    while (second < buffers.size() && page(buffers[first]) != page(buffers[second])) first = second++;
    ASSERT_LT(second, buffers.size()) << "no two buffers on one page";
    const void* where = buffers[second].data();
    EXPECT_TRUE(page_locked(where));
    buffers[first] = SecretBytes();
    EXPECT_TRUE(page_locked(where));
    buffers.clear();
    EXPECT_FALSE(page_locked(where));
}

}  // namespace
