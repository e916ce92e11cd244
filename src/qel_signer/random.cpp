#include "random.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>

#include <unistd.h>

#include "encoding.hpp"
#include "qel_core/os_error.hpp"

namespace qel_signer {

namespace {
std::atomic<int> g_forced_error{0};
// getentropy refuses requests above this size.
constexpr std::size_t kMaxChunk = 256;
}  // namespace

std::expected<void, std::string> fill_random(std::span<std::uint8_t> out) {
    if (const int forced = g_forced_error.load(std::memory_order_relaxed); forced != 0) {
        return std::unexpected(qel_core::os_error_text(forced));
    }
    std::size_t done = 0;
    while (done < out.size()) {
        const std::size_t chunk = std::min(kMaxChunk, out.size() - done);
        if (::getentropy(out.data() + done, chunk) != 0) {
            return std::unexpected(qel_core::os_error_text(errno));
        }
        done += chunk;
    }
    return {};
}

std::expected<std::string, std::string> random_uuid() {
    std::array<std::uint8_t, 16> raw{};
    if (auto r = fill_random(raw); !r) return std::unexpected(r.error());
    raw[6] = static_cast<std::uint8_t>((raw[6] & 0x0F) | 0x40);
    raw[8] = static_cast<std::uint8_t>((raw[8] & 0x3F) | 0x80);
    const std::string hex = hex_encode(raw);
    return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" + hex.substr(16, 4) + "-" +
           hex.substr(20, 12);
}

namespace testing {
void set_random_failure(int err) noexcept { g_forced_error.store(err, std::memory_order_relaxed); }
}  // namespace testing

}  // namespace qel_signer
