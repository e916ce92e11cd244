#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>

namespace qel_signer {

// Fills out with bytes from the operating system's random source
// (getentropy). Fails with the OS error text ("... (os error N)").
[[nodiscard]] std::expected<void, std::string> fill_random(std::span<std::uint8_t> out);

// A random (version 4) UUID in its hyphenated lower-case form; fails as
// fill_random does.
[[nodiscard]] std::expected<std::string, std::string> random_uuid();

namespace testing {
// Test-only: when set, fill_random fails with errno err instead of reading
// the OS source. 0 restores normal behaviour.
void set_random_failure(int err) noexcept;
}  // namespace testing

}  // namespace qel_signer
