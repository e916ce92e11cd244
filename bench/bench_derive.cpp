// derive_address against the seed stretch it cannot avoid: one
// PBKDF2-HMAC-SHA512 call with 2048 iterations, measured in the same run.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <array>
#include <string>

#include "paired.hpp"
#include "qel_lib/ops.hpp"

namespace {

const std::string kPhrase =
    "abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon about";

void BM_Pbkdf2Sha512_2048(benchmark::State& state) {
    std::array<unsigned char, 64> seed{};
    for (auto _ : state) {
        PKCS5_PBKDF2_HMAC(kPhrase.data(), static_cast<int>(kPhrase.size()),
                          reinterpret_cast<const unsigned char*>("mnemonic"), 8, 2048, EVP_sha512(), 64, seed.data());
        benchmark::DoNotOptimize(seed);
    }
}
BENCHMARK(BM_Pbkdf2Sha512_2048)->Unit(benchmark::kMicrosecond);

void BM_DeriveAddress(benchmark::State& state, const char* chain) {
    for (auto _ : state) {
        auto address = qel_lib::ops::derive_address(kPhrase, chain, 0u);
        if (!address) state.SkipWithError(address.error().message().c_str());
        benchmark::DoNotOptimize(address);
    }
}
BENCHMARK_CAPTURE(BM_DeriveAddress, ethereum, "ethereum")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_DeriveAddress, solana, "solana")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_DeriveAddress, bitcoin, "bitcoin")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_DeriveAddress, cosmos, "cosmos")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_DeriveAddress, tron, "tron")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_DeriveAddress, ton, "ton")->Unit(benchmark::kMicrosecond);

// Alternated with the bare PBKDF2 call: the figure to read is the ratio.
void BM_DeriveVsPbkdf2(benchmark::State& state, const char* chain) {
    std::array<unsigned char, 64> seed{};
    qel_bench::paired(
        state, 200, [&] { benchmark::DoNotOptimize(qel_lib::ops::derive_address(kPhrase, chain, 0u)); },
        [&] {
            PKCS5_PBKDF2_HMAC(kPhrase.data(), static_cast<int>(kPhrase.size()),
                              reinterpret_cast<const unsigned char*>("mnemonic"), 8, 2048, EVP_sha512(), 64,
                              seed.data());
            benchmark::DoNotOptimize(seed);
        });
}
BENCHMARK_CAPTURE(BM_DeriveVsPbkdf2, ethereum, "ethereum")->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_DeriveVsPbkdf2, solana, "solana")->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_DeriveVsPbkdf2, bitcoin, "bitcoin")->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_DeriveVsPbkdf2, cosmos, "cosmos")->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_DeriveVsPbkdf2, tron, "tron")->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_DeriveVsPbkdf2, ton, "ton")->Iterations(1)->Unit(benchmark::kMillisecond);

// The six accounts of a universal wallet, as creation and import derive
// them: one seed serves all six families, so this should cost little more
// than one BM_Pbkdf2Sha512_2048.
void BM_DeriveAllAccounts(benchmark::State& state) {
    auto mnemonic = qel_signer::Mnemonic::from_phrase(kPhrase);
    if (!mnemonic) {
        state.SkipWithError("phrase rejected");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(qel_lib::ops::derive_all_accounts(*mnemonic, 0));
}
BENCHMARK(BM_DeriveAllAccounts)->Unit(benchmark::kMicrosecond);

// The same alternated with the bare PBKDF2 call: the figure to read is the ratio.
void BM_DeriveAllAccountsVsPbkdf2(benchmark::State& state) {
    auto mnemonic = qel_signer::Mnemonic::from_phrase(kPhrase);
    if (!mnemonic) {
        state.SkipWithError("phrase rejected");
        return;
    }
    std::array<unsigned char, 64> seed{};
    qel_bench::paired(
        state, 100, [&] { benchmark::DoNotOptimize(qel_lib::ops::derive_all_accounts(*mnemonic, 0)); },
        [&] {
            PKCS5_PBKDF2_HMAC(kPhrase.data(), static_cast<int>(kPhrase.size()),
                              reinterpret_cast<const unsigned char*>("mnemonic"), 8, 2048, EVP_sha512(), 64,
                              seed.data());
            benchmark::DoNotOptimize(seed);
        });
}
BENCHMARK(BM_DeriveAllAccountsVsPbkdf2)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
