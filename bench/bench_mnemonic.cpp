// Mnemonic::to_seed against a bare PBKDF2-HMAC-SHA512 call on the same
// phrase: the wrapper (rendering, locked buffers, wiping) should add little.
#include <array>
#include <cstdint>
#include <string>

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include "paired.hpp"
#include "qel_signer/mnemonic.hpp"

namespace {

const std::string kPhrase =
    "legal winner thank year wave sausage worth useful legal winner thank yellow";

void BM_MnemonicToSeed(benchmark::State& state) {
    auto mnemonic = qel_signer::Mnemonic::from_phrase(kPhrase);
    if (!mnemonic) {
        state.SkipWithError("phrase rejected");
        return;
    }
    for (auto _ : state) {
        auto seed = mnemonic->to_seed("");
        benchmark::DoNotOptimize(seed.data());
    }
}
BENCHMARK(BM_MnemonicToSeed);

void BM_BarePbkdf2Sha512(benchmark::State& state) {
    static constexpr char kSalt[] = "mnemonic";
    std::array<std::uint8_t, 64> seed{};
    for (auto _ : state) {
        const int ok = PKCS5_PBKDF2_HMAC(kPhrase.data(), static_cast<int>(kPhrase.size()),
                                         reinterpret_cast<const unsigned char*>(kSalt), sizeof kSalt - 1, 2048,
                                         EVP_sha512(), static_cast<int>(seed.size()), seed.data());
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(seed.data());
    }
}
BENCHMARK(BM_BarePbkdf2Sha512);

void BM_MnemonicFromPhrase(benchmark::State& state) {
    for (auto _ : state) {
        auto m = qel_signer::Mnemonic::from_phrase(kPhrase);
        benchmark::DoNotOptimize(m.has_value());
    }
}
BENCHMARK(BM_MnemonicFromPhrase);

// The two above, alternated: the figure to read is the ratio.
void BM_ToSeedVsBarePbkdf2(benchmark::State& state) {
    auto mnemonic = qel_signer::Mnemonic::from_phrase(kPhrase);
    if (!mnemonic) {
        state.SkipWithError("phrase rejected");
        return;
    }
    static constexpr char kSalt[] = "mnemonic";
    std::array<std::uint8_t, 64> bare_seed{};
    qel_bench::paired(
        state, 400, [&] { benchmark::DoNotOptimize(mnemonic->to_seed("").data()); },
        [&] {
            PKCS5_PBKDF2_HMAC(kPhrase.data(), static_cast<int>(kPhrase.size()),
                              reinterpret_cast<const unsigned char*>(kSalt), sizeof kSalt - 1, 2048, EVP_sha512(),
                              static_cast<int>(bare_seed.size()), bare_seed.data());
            benchmark::DoNotOptimize(bare_seed.data());
        });
}
BENCHMARK(BM_ToSeedVsBarePbkdf2)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
