#include "scrypt.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include <openssl/evp.h>
#include <sodium.h>

#include "qel_core/os_error.hpp"

#if defined(__SSE2__) && !defined(QEL_PORTABLE_SCRYPT)
#include <emmintrin.h>

namespace qel_signer::crypto {

namespace {

// ---- the Salsa20/8 core and BlockMix, four 32-bit lanes at a time ----
//
// Each 64-byte block is kept with its sixteen words in diagonal order (word
// i*5 mod 16 at position i), so that the column and row rounds are each
// four vector operations.

inline __m128i rotl(__m128i x, int left, int right) {
    return _mm_xor_si128(_mm_slli_epi32(x, left), _mm_srli_epi32(x, right));
}

inline void salsa20_8(__m128i b[4]) {
    __m128i x0 = b[0], x1 = b[1], x2 = b[2], x3 = b[3];
    for (int i = 0; i < 8; i += 2) {
        x1 = _mm_xor_si128(x1, rotl(_mm_add_epi32(x0, x3), 7, 25));
        x2 = _mm_xor_si128(x2, rotl(_mm_add_epi32(x1, x0), 9, 23));
        x3 = _mm_xor_si128(x3, rotl(_mm_add_epi32(x2, x1), 13, 19));
        x0 = _mm_xor_si128(x0, rotl(_mm_add_epi32(x3, x2), 18, 14));
        x1 = _mm_shuffle_epi32(x1, 0x93);
        x2 = _mm_shuffle_epi32(x2, 0x4E);
        x3 = _mm_shuffle_epi32(x3, 0x39);
        x3 = _mm_xor_si128(x3, rotl(_mm_add_epi32(x0, x1), 7, 25));
        x2 = _mm_xor_si128(x2, rotl(_mm_add_epi32(x3, x0), 9, 23));
        x1 = _mm_xor_si128(x1, rotl(_mm_add_epi32(x2, x3), 13, 19));
        x0 = _mm_xor_si128(x0, rotl(_mm_add_epi32(x1, x2), 18, 14));
        x1 = _mm_shuffle_epi32(x1, 0x39);
        x2 = _mm_shuffle_epi32(x2, 0x4E);
        x3 = _mm_shuffle_epi32(x3, 0x93);
    }
    b[0] = _mm_add_epi32(b[0], x0);
    b[1] = _mm_add_epi32(b[1], x1);
    b[2] = _mm_add_epi32(b[2], x2);
    b[3] = _mm_add_epi32(b[3], x3);
}

// out = BlockMix(in): 2r blocks of four vectors each.
inline void block_mix(const __m128i* in, __m128i* out, std::uint32_t r) {
    __m128i x[4];
    std::memcpy(x, &in[(2 * r - 1) * 4], sizeof x);
    for (std::uint32_t i = 0; i < r; ++i) {
        for (int k = 0; k < 4; ++k) x[k] = _mm_xor_si128(x[k], in[i * 8 + k]);
        salsa20_8(x);
        std::memcpy(&out[i * 4], x, sizeof x);
        for (int k = 0; k < 4; ++k) x[k] = _mm_xor_si128(x[k], in[i * 8 + 4 + k]);
        salsa20_8(x);
        std::memcpy(&out[(r + i) * 4], x, sizeof x);
    }
}

inline void xor_into(__m128i* dst, const __m128i* src, std::size_t vectors) {
    for (std::size_t i = 0; i < vectors; ++i) dst[i] = _mm_xor_si128(dst[i], src[i]);
}

// The first word of the last block: position 0 holds word 0 in diagonal order.
inline std::uint32_t integerify(const __m128i* x, std::uint32_t r) {
    return static_cast<std::uint32_t>(_mm_cvtsi128_si32(x[(2 * r - 1) * 4]));
}

// ROMix on one 128r-byte block of B, with V (N blocks of 128r bytes) and
// XY (two such blocks) as working memory.
void ro_mix(std::uint8_t* block, std::uint32_t r, std::uint32_t n, __m128i* v, __m128i* xy) {
    const std::size_t words = 32 * static_cast<std::size_t>(r);
    const std::size_t vectors = 8 * static_cast<std::size_t>(r);
    __m128i* x = xy;
    __m128i* y = xy + vectors;
    auto* x32 = reinterpret_cast<std::uint32_t*>(x);
    for (std::size_t k = 0; k < words / 16; ++k) {
        for (std::size_t i = 0; i < 16; ++i) {
            std::uint32_t w;
            std::memcpy(&w, block + (k * 16 + (i * 5 % 16)) * 4, 4);  // little-endian host
            x32[k * 16 + i] = w;
        }
    }
    for (std::uint32_t i = 0; i < n; i += 2) {
        std::memcpy(&v[i * vectors], x, vectors * sizeof(__m128i));
        block_mix(x, y, r);
        std::memcpy(&v[(i + 1) * vectors], y, vectors * sizeof(__m128i));
        block_mix(y, x, r);
    }
    for (std::uint32_t i = 0; i < n; i += 2) {
        xor_into(x, &v[(integerify(x, r) & (n - 1)) * vectors], vectors);
        block_mix(x, y, r);
        xor_into(y, &v[(integerify(y, r) & (n - 1)) * vectors], vectors);
        block_mix(y, x, r);
    }
    for (std::size_t k = 0; k < words / 16; ++k) {
        for (std::size_t i = 0; i < 16; ++i) std::memcpy(block + (k * 16 + (i * 5 % 16)) * 4, &x32[k * 16 + i], 4);
    }
}

// ---- working memory ----

// Regions up to this size (the vault's own cost: N=2^18, r=8) are kept for
// the next derivation; larger ones (a keystore's) are returned at once. At
// most kKeptRegions are kept, whatever the number of cores, so that a burst
// of unlocks on a large machine leaves no gigabytes behind.
constexpr std::size_t kKeptRegionBytes = std::size_t{256} << 20;
constexpr std::size_t kKeptRegions = 2;

struct Region {
    void* base = nullptr;
    std::size_t size = 0;
};

class Pool {
public:
    // Blocks while as many derivations as there are cores are running.
    std::expected<Region, int> acquire(std::size_t size) {
        std::unique_lock lock(mutex_);
        turn_.wait(lock, [this] { return running_ < slots_; });
        ++running_;
        for (auto it = kept_.begin(); it != kept_.end(); ++it) {
            if (it->size >= size) {
                const Region region = *it;
                kept_.erase(it);
                return region;
            }
        }
        lock.unlock();
        void* base = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED) {
            const int err = errno;
            finish();
            return std::unexpected(err);
        }
        return Region{base, size};
    }

    // Wipes what was used and keeps the region, or returns it to the system.
    void release(Region region, std::size_t used) {
        sodium_memzero(region.base, used);
        {
            const std::lock_guard lock(mutex_);
            if (region.size <= kKeptRegionBytes && kept_.size() < kKeptRegions) {
                kept_.push_back(region);
                region.base = nullptr;
            }
        }
        if (region.base != nullptr) ::munmap(region.base, region.size);
        finish();
    }

private:
    void finish() {
        {
            const std::lock_guard lock(mutex_);
            --running_;
        }
        turn_.notify_one();
    }

    std::mutex mutex_;
    std::condition_variable turn_;
    const unsigned slots_ = std::max(1U, std::thread::hardware_concurrency());
    unsigned running_ = 0;
    std::vector<Region> kept_;
};

Pool& pool() {
    // Never destroyed: a derivation on another thread may still be running
    // while the process exits.
    static Pool* const p = new Pool;
    return *p;
}

bool pbkdf2_sha256(std::string_view pass, std::span<const std::uint8_t> salt, std::uint8_t* out, std::size_t size) {
    static const std::uint8_t kNothing = 0;
    return PKCS5_PBKDF2_HMAC(pass.empty() ? reinterpret_cast<const char*>(&kNothing) : pass.data(),
                             static_cast<int>(pass.size()), salt.empty() ? &kNothing : salt.data(),
                             static_cast<int>(salt.size()), 1, EVP_sha256(), static_cast<int>(size), out) == 1;
}

}  // namespace

std::expected<void, std::string> scrypt_pooled(std::string_view passphrase, std::span<const std::uint8_t> salt,
                                               std::uint32_t n, std::uint32_t r, std::uint32_t p,
                                               std::span<std::uint8_t> out) {
    const std::size_t block = 128 * static_cast<std::size_t>(r);
    const std::size_t v_bytes = block * n;
    const std::size_t used = v_bytes + 2 * block + block * p;  // V, XY, B
    auto region = pool().acquire(used);
    if (!region) return std::unexpected(qel_core::os_error_text(region.error()));
    auto* v = static_cast<__m128i*>(region->base);
    auto* xy = v + v_bytes / sizeof(__m128i);
    auto* b = reinterpret_cast<std::uint8_t*>(xy + 2 * block / sizeof(__m128i));
    bool ok = pbkdf2_sha256(passphrase, salt, b, block * p);
    for (std::uint32_t i = 0; ok && i < p; ++i) ro_mix(b + i * block, r, n, v, xy);
    ok = ok && pbkdf2_sha256(passphrase, {b, block * p}, out.data(), out.size());
    pool().release(*region, used);
    if (!ok) {
        sodium_memzero(out.data(), out.size());
        return std::unexpected(std::string("PBKDF2 failed"));
    }
    return {};
}

}  // namespace qel_signer::crypto

#else

namespace qel_signer::crypto {

// Without SSE2, libsodium's scrypt on memory of its own: correct, but each
// call maps and unmaps its working memory.
std::expected<void, std::string> scrypt_pooled(std::string_view passphrase, std::span<const std::uint8_t> salt,
                                               std::uint32_t n, std::uint32_t r, std::uint32_t p,
                                               std::span<std::uint8_t> out) {
    if (crypto_pwhash_scryptsalsa208sha256_ll(reinterpret_cast<const std::uint8_t*>(passphrase.data()),
                                              passphrase.size(), salt.data(), salt.size(), n, r, p, out.data(),
                                              out.size()) != 0) {
        const int err = errno;
        sodium_memzero(out.data(), out.size());
        return std::unexpected(qel_core::os_error_text(err));
    }
    return {};
}

}  // namespace qel_signer::crypto

#endif
