#pragma once

#include <cstddef>
#include <cstdint>

#include "bytes.hpp"

namespace qel_signer {

// Asks the OS to keep [data, data + len) in RAM. A zero length succeeds
// without a system call. On refusal writes one line to stderr:
// "warning: mlock failed (<os error>), key material may be swapped to disk"
// and returns false; callers carry on either way.
bool mlock_slice(const void* data, std::size_t len);

// Heap buffer for secret material: move-only, its used bytes locked in RAM
// while non-empty, and on release its whole capacity overwritten with zeros
// (used bytes first, then length to zero, then the full capacity, then
// munlock, then free).
class SecretBytes {
public:
    SecretBytes() noexcept = default;
    // Takes the vector over without copying; locks its used bytes.
    explicit SecretBytes(Bytes&& bytes) noexcept;
    // A new allocation of exactly data.size() bytes holding a copy.
    [[nodiscard]] static SecretBytes from_slice(ByteSpan data);

    SecretBytes(const SecretBytes&) = delete;
    SecretBytes& operator=(const SecretBytes&) = delete;
    SecretBytes(SecretBytes&& other) noexcept;
    SecretBytes& operator=(SecretBytes&& other) noexcept;
    ~SecretBytes();

    [[nodiscard]] ByteSpan as_slice() const noexcept { return {bytes_.data(), bytes_.size()}; }
    [[nodiscard]] std::size_t size() const noexcept { return bytes_.size(); }
    [[nodiscard]] bool empty() const noexcept { return bytes_.empty(); }
    [[nodiscard]] const std::uint8_t* data() const noexcept { return bytes_.data(); }
    // Writable view of the used bytes, so that a secret can be produced in
    // place, after its buffer is already locked.
    [[nodiscard]] std::uint8_t* mutable_data() noexcept;

    // Wipes, unlocks and frees now; the object is empty afterwards.
    void release() noexcept;

private:
    Bytes bytes_;
};

// Zeroes [data, data + len) with writes the optimiser cannot drop.
void wipe(void* data, std::size_t len) noexcept;

// A fixed-size scratch buffer for key material that lives in one scope (a
// padded key, a chain code, an HMAC block): not copyable, and wiped however
// the scope ends.
template <std::size_t N>
struct WipedArray {
    std::uint8_t bytes[N] = {};

    WipedArray() = default;
    WipedArray(const WipedArray&) = delete;
    WipedArray& operator=(const WipedArray&) = delete;
    ~WipedArray() { wipe(bytes, N); }

    [[nodiscard]] static constexpr std::size_t size() noexcept { return N; }
    [[nodiscard]] ByteSpan span() const noexcept { return {bytes, N}; }
};

namespace testing {
// Test-only hook, called with the allocation and its capacity right before
// it is returned to the allocator, after wiping. nullptr disables it.
using ReleaseObserver = void (*)(const std::uint8_t* data, std::size_t capacity);
void set_release_observer(ReleaseObserver observer) noexcept;
}  // namespace testing

}  // namespace qel_signer
