#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>

namespace qel_signer {

// Fills out with bytes from the operating system's random source
// (getentropy). Fails with the OS error text ("... (os error N)").
[[nodiscard]] std::expected<void, std::string> fill_random(std::span<std::uint8_t> out);

namespace testing {
// Test-only: when set, fill_random fails with errno err instead of reading
// the OS source. 0 restores normal behaviour.
void set_random_failure(int err) noexcept;
}  // namespace testing

}  // namespace qel_signer
