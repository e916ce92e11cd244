#include "hash.hpp"

#include <cstring>

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/provider.h>

namespace qel_signer {
namespace {

constexpr std::size_t kKeccakRate = 136;  // 1088-bit rate of the 256-bit variant

constexpr std::uint64_t kRoundConstants[24] = {
    0x0000000000000001ULL, 0x0000000000008082ULL, 0x800000000000808aULL, 0x8000000080008000ULL,
    0x000000000000808bULL, 0x0000000080000001ULL, 0x8000000080008081ULL, 0x8000000000008009ULL,
    0x000000000000008aULL, 0x0000000000000088ULL, 0x0000000080008009ULL, 0x000000008000000aULL,
    0x000000008000808bULL, 0x800000000000008bULL, 0x8000000000008089ULL, 0x8000000000008003ULL,
    0x8000000000008002ULL, 0x8000000000000080ULL, 0x000000000000800aULL, 0x800000008000000aULL,
    0x8000000080008081ULL, 0x8000000000008080ULL, 0x0000000080000001ULL, 0x8000000080008008ULL,
};

// Rotation offsets and lane permutation of the combined rho/pi step, in the
// order the lanes are visited starting from lane 1.
constexpr unsigned kRho[24] = {1, 3, 6, 10, 15, 21, 28, 36, 45, 55, 2, 14, 27, 41, 56, 8, 25, 43, 62, 18, 39, 61, 20, 44};
constexpr unsigned kPi[24] = {10, 7, 11, 17, 18, 3, 5, 16, 8, 21, 24, 4, 15, 23, 19, 13, 12, 2, 20, 14, 22, 9, 6, 1};

constexpr std::uint64_t rotl(std::uint64_t x, unsigned n) { return (x << n) | (x >> (64 - n)); }

void keccak_f1600(std::uint64_t st[25]) {
    for (std::uint64_t rc : kRoundConstants) {
        std::uint64_t c[5];
        for (int x = 0; x < 5; ++x) c[x] = st[x] ^ st[x + 5] ^ st[x + 10] ^ st[x + 15] ^ st[x + 20];
        for (int x = 0; x < 5; ++x) {
            const std::uint64_t d = c[(x + 4) % 5] ^ rotl(c[(x + 1) % 5], 1);
            for (int y = 0; y < 25; y += 5) st[y + x] ^= d;
        }
        std::uint64_t cur = st[1];
        for (int i = 0; i < 24; ++i) {
            const unsigned j = kPi[i];
            const std::uint64_t tmp = st[j];
            st[j] = rotl(cur, kRho[i]);
            cur = tmp;
        }
        for (int y = 0; y < 25; y += 5) {
            std::uint64_t row[5];
            for (int x = 0; x < 5; ++x) row[x] = st[y + x];
            for (int x = 0; x < 5; ++x) st[y + x] = row[x] ^ (~row[(x + 1) % 5] & row[(x + 2) % 5]);
        }
        st[0] ^= rc;
    }
}

// Lanes are little-endian whatever the host order.
void absorb_block(std::uint64_t st[25], const std::uint8_t* block) {
    for (std::size_t i = 0; i < kKeccakRate / 8; ++i) {
        std::uint64_t lane = 0;
        for (unsigned b = 0; b < 8; ++b) lane |= std::uint64_t{block[8 * i + b]} << (8 * b);
        st[i] ^= lane;
    }
    keccak_f1600(st);
}

const EVP_MD* ripemd160_md() {
    // Some OpenSSL 3 builds only offer RIPEMD-160 through the legacy provider.
    static const EVP_MD* md = [] {
        EVP_MD* fetched = EVP_MD_fetch(nullptr, "RIPEMD160", nullptr);
        if (fetched == nullptr) {
            OSSL_PROVIDER_load(nullptr, "legacy");
            OSSL_PROVIDER_load(nullptr, "default");
            fetched = EVP_MD_fetch(nullptr, "RIPEMD160", nullptr);
        }
        return static_cast<const EVP_MD*>(fetched);
    }();
    return md;
}

// A digest failure here means the crypto library itself is broken; there is
// no sensible value to return instead.
void digest_or_abort(const EVP_MD* md, const void* data, std::size_t len, std::uint8_t* out) {
    if (md == nullptr || EVP_Digest(data, len, out, nullptr, md, nullptr) != 1) {
        OPENSSL_die("qel: message digest unavailable", __FILE__, __LINE__);
    }
}

}  // namespace

Hash32 keccak256(ByteSpan data) {
    std::uint64_t st[25] = {};
    std::size_t off = 0;
    for (; data.size() - off >= kKeccakRate; off += kKeccakRate) absorb_block(st, data.data() + off);

    std::uint8_t last[kKeccakRate] = {};
    const std::size_t rest = data.size() - off;
    if (rest != 0) std::memcpy(last, data.data() + off, rest);
    last[rest] ^= 0x01;
    last[kKeccakRate - 1] ^= 0x80;
    absorb_block(st, last);

    Hash32 out{};
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::uint8_t>(st[i / 8] >> (8 * (i % 8)));
    return out;
}

Hash32 sha256(ByteSpan data) {
    Hash32 out{};
    digest_or_abort(EVP_sha256(), data.data(), data.size(), out.data());
    return out;
}

Hash32 double_sha256(ByteSpan data) {
    const Hash32 first = sha256(data);
    return sha256(first);
}

Hash20 hash160(ByteSpan data) {
    const Hash32 first = sha256(data);
    Hash20 out{};
    digest_or_abort(ripemd160_md(), first.data(), first.size(), out.data());
    return out;
}

void hmac_sha512(ByteSpan key, ByteSpan data, std::uint8_t out64[64]) {
    unsigned int len = 0;
    // A null key pointer with length 0 is refused by some builds.
    static const std::uint8_t empty_key = 0;
    const void* k = key.empty() ? &empty_key : key.data();
    if (HMAC(EVP_sha512(), k, static_cast<int>(key.size()), data.data(), data.size(), out64, &len) == nullptr ||
        len != 64) {
        OPENSSL_die("qel: HMAC-SHA512 unavailable", __FILE__, __LINE__);
    }
}

}  // namespace qel_signer
