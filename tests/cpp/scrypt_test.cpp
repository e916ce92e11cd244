// scrypt on pooled memory: RFC 7914's vectors, libsodium's own scrypt as an
// independent implementation for other shapes, and derivations from more
// threads than the pool runs at once.
#include "qel_signer/scrypt.hpp"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <thread>
#include <vector>

#include <sodium.h>

#include "support.hpp"

namespace {

using qel_signer::crypto::scrypt_pooled;

std::string derive_hex(std::string_view pass, std::string_view salt, std::uint32_t n, std::uint32_t r,
                       std::uint32_t p, std::size_t size = 64) {
    std::vector<std::uint8_t> out(size);
    const auto s = qel_test::to_bytes(salt);
    EXPECT_TRUE(scrypt_pooled(pass, s, n, r, p, out).has_value());
    return qel_signer::hex_encode(out);
}

std::string sodium_hex(std::string_view pass, std::string_view salt, std::uint32_t n, std::uint32_t r,
                       std::uint32_t p, std::size_t size) {
    std::vector<std::uint8_t> out(size);
    static const std::uint8_t kNothing = 0;
    EXPECT_EQ(crypto_pwhash_scryptsalsa208sha256_ll(
                  pass.empty() ? &kNothing : reinterpret_cast<const std::uint8_t*>(pass.data()), pass.size(),
                  salt.empty() ? &kNothing : reinterpret_cast<const std::uint8_t*>(salt.data()), salt.size(), n, r,
                  p, out.data(), out.size()),
              0);
    return qel_signer::hex_encode(out);
}

TEST(Scrypt, Rfc7914Vectors) {
    EXPECT_EQ(derive_hex("", "", 16, 1, 1),
              "77d6576238657b203b19ca42c18a0497f16b4844e3074ae8dfdffa3fede21442"
              "fcd0069ded0948f8326a753a0fc81f17e8d3e0fb2e0d3628cf35e20c38d18906");
    EXPECT_EQ(derive_hex("password", "NaCl", 1024, 8, 16),
              "fdbabe1c9d3472007856e7190d01e9fe7c6ad7cbc8237830e77376634b373162"
              "2eaf30d92e22a3886ff109279d9830dac727afb94a83ee6d8360cbdfa2cc0640");
    EXPECT_EQ(derive_hex("pleaseletmein", "SodiumChloride", 16384, 8, 1),
              "7023bdcb3afd7348461c06cd81fd38ebfda8fbba904f8e3ea9b543f6545da1f2"
              "d5432955613f0fcf62d49705242a9af9e61e85dc0d651e40dfcf017b45575887");
}

TEST(Scrypt, AgreesWithAnotherImplementationFromManyThreads) {
    struct Case {
        std::uint32_t n, r, p;
        std::size_t size;
    };
    const std::array<Case, 6> cases{{{2, 1, 1, 1}, {4, 3, 2, 32}, {256, 1, 3, 33}, {1024, 5, 1, 100},
                                     {4096, 8, 1, 32}, {32768, 8, 1, 32}}};
    std::vector<std::string> got(cases.size() * 2);
    std::vector<std::thread> threads;  // more than the cores, so some wait their turn
    for (std::size_t i = 0; i < got.size(); ++i) {
        threads.emplace_back([&, i] {
            const Case& c = cases[i % cases.size()];
            got[i] = derive_hex("pass" + std::to_string(i % cases.size()), "salt", c.n, c.r, c.p, c.size);
        });
    }
    for (auto& t : threads) t.join();
    for (std::size_t i = 0; i < got.size(); ++i) {
        const Case& c = cases[i % cases.size()];
        EXPECT_EQ(got[i], sodium_hex("pass" + std::to_string(i % cases.size()), "salt", c.n, c.r, c.p, c.size)) << i;
    }
}

}  // namespace
