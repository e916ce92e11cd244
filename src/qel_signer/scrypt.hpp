#pragma once

// scrypt (RFC 7914) on working memory that outlives the call. Allocating and
// freeing hundreds of MiB for every unlock makes the kernel hold the
// process's memory-map lock for tens of milliseconds at a time, and every
// other thread that maps memory meanwhile (the interpreter making objects, a
// thread starting) waits for it: an event loop stalls for as long. So the
// memory is taken from a small pool instead, wiped after each use, and the
// number of derivations running at once is held to the number of cores (more
// would only share the same cores and take more memory).

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

namespace qel_signer::crypto {

// Fills `out` with scrypt(passphrase, salt, N=n, r, p). The parameters are the
// caller's to check (n a power of two above 1, r and p within RFC 7914's
// bounds); the only failure is memory that cannot be had, with its OS text.
[[nodiscard]] std::expected<void, std::string> scrypt_pooled(std::string_view passphrase, std::span<const std::uint8_t> salt,
                                                             std::uint32_t n, std::uint32_t r, std::uint32_t p,
                                                             std::span<std::uint8_t> out);

}  // namespace qel_signer::crypto
