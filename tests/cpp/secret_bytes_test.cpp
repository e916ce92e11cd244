#include "qel_signer/secret_bytes.hpp"

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using qel_signer::Bytes;
using qel_signer::SecretBytes;

// What the observer saw of each allocation as it went back to the allocator.
struct Released {
    const std::uint8_t* data;
    std::size_t capacity;
    bool all_zero;
};
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

TEST_F(SecretBytesTest, WipesWholeCapacityBeyondLength) {
    Bytes v(64, 0xAA);
    v.resize(10);  // bytes 10..63 keep 0xAA but are no longer elements
    const std::uint8_t* allocation = v.data();
    {
        SecretBytes s(std::move(v));
        EXPECT_EQ(s.data(), allocation);  // taken over, not copied
        EXPECT_EQ(s.size(), 10U);
    }
    ASSERT_EQ(g_released.size(), 1U);
    EXPECT_EQ(g_released[0].data, allocation);
    EXPECT_EQ(g_released[0].capacity, 64U);
    EXPECT_TRUE(g_released[0].all_zero);
}

TEST_F(SecretBytesTest, FromSliceCopiesIntoExactAllocation) {
    const std::uint8_t src[] = {1, 2, 3, 4, 5};
    {
        const auto s = SecretBytes::from_slice(src);
        ASSERT_EQ(s.size(), 5U);
        EXPECT_EQ(std::memcmp(s.data(), src, 5), 0);
        EXPECT_NE(s.data(), src);
    }
    ASSERT_EQ(g_released.size(), 1U);
    EXPECT_EQ(g_released[0].capacity, 5U);
    EXPECT_TRUE(g_released[0].all_zero);
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
    ASSERT_EQ(g_released.size(), 1U);
    EXPECT_EQ(g_released[0].data, c_data);
    EXPECT_TRUE(g_released[0].all_zero);

    c.release();
    EXPECT_TRUE(c.empty());
    ASSERT_EQ(g_released.size(), 2U);
    EXPECT_EQ(g_released[1].data, a_data);
    EXPECT_EQ(g_released[1].capacity, 32U);
    EXPECT_TRUE(g_released[1].all_zero);
    // Nothing is left for the destructors of a, b and c.
}

TEST_F(SecretBytesTest, EmptyBufferWithCapacityIsStillWiped) {
    Bytes v(8, 0x5A);
    v.clear();
    { SecretBytes s(std::move(v)); }
    { SecretBytes none; }
    ASSERT_EQ(g_released.size(), 1U);
    EXPECT_EQ(g_released[0].capacity, 8U);
    EXPECT_TRUE(g_released[0].all_zero);
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
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(fds[0]);
        dup2(fds[1], STDERR_FILENO);
        if (!drop_ipc_lock()) _exit(2);
        {
            const std::uint8_t key[3] = {7, 8, 9};
            SecretBytes a(Bytes(32, 1));
            SecretBytes b = SecretBytes::from_slice(key);
            SecretBytes c(Bytes(1, 1));
            SecretBytes empty(Bytes{});
            if (a.size() != 32 || b.size() != 3 || c.size() != 1) _exit(3);
        }
        _exit(0);
    }
    close(fds[1]);
    std::string output;
    char buf[512];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) output.append(buf, static_cast<std::size_t>(n));
    close(fds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0) << output;

    const std::string line =
        "warning: mlock failed (Operation not permitted (os error 1)), key material may be swapped to disk\n";
    EXPECT_EQ(output, line + line + line);
}

TEST(SecretBytesLock, MlockSliceOfNothingSucceeds) { EXPECT_TRUE(qel_signer::mlock_slice(nullptr, 0)); }

}  // namespace
