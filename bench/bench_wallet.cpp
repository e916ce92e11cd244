// Wallet creation and message signing against one bare scrypt call with the
// stored parameters (N=2^18, r=8, p=1), measured in the same run: unlocking
// or sealing should dominate both.
#include <benchmark/benchmark.h>
#include <sodium.h>
#include <sys/resource.h>

#include <array>
#include <filesystem>
#include <string>

#include "paired.hpp"
#include "qel_lib/ops.hpp"

namespace {

namespace fs = std::filesystem;

// The bare scrypt call the operations below are measured against: the
// figures to read are the ratios.
void bare_scrypt() {
    std::array<unsigned char, 32> salt{};
    std::array<unsigned char, 32> key{};
    const std::string pass = "bench passphrase";
    benchmark::DoNotOptimize(crypto_pwhash_scryptsalsa208sha256_ll(reinterpret_cast<const uint8_t*>(pass.data()),
                                                                   pass.size(), salt.data(), salt.size(), 1u << 18, 8,
                                                                   1, key.data(), key.size()));
    benchmark::DoNotOptimize(key);
}

void BM_Scrypt(benchmark::State& state) {
    for (auto _ : state) bare_scrypt();
}
BENCHMARK(BM_Scrypt)->Unit(benchmark::kMillisecond);

fs::path fresh_vault(const char* name) {
    const fs::path root = fs::temp_directory_path() / name;
    fs::remove_all(root);
    return root;
}

void BM_CreateWallet(benchmark::State& state) {
    const fs::path root = fresh_vault("qel-bench-create");
    int i = 0;
    for (auto _ : state) {
        auto info = qel_lib::ops::create_wallet("w" + std::to_string(i++), std::string_view("bench passphrase"),
                                                std::nullopt, root);
        if (!info) state.SkipWithError(info.error().message().c_str());
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    state.counters["peak_rss_MiB"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
    fs::remove_all(root);
}
BENCHMARK(BM_CreateWallet)->Unit(benchmark::kMillisecond);

void BM_SignMessage(benchmark::State& state) {
    const fs::path root = fresh_vault("qel-bench-sign");
    auto info = qel_lib::ops::create_wallet("signer", std::string_view("bench passphrase"), std::nullopt, root);
    if (!info) {
        state.SkipWithError(info.error().message().c_str());
        return;
    }
    for (auto _ : state) {
        auto sig = qel_lib::ops::sign_message("signer", "ethereum", "hello", std::string_view("bench passphrase"),
                                              std::nullopt, std::nullopt, root);
        if (!sig) state.SkipWithError(sig.error().message().c_str());
        benchmark::DoNotOptimize(sig);
    }
    fs::remove_all(root);
}
BENCHMARK(BM_SignMessage)->Unit(benchmark::kMillisecond);

void BM_CreateWalletVsScrypt(benchmark::State& state) {
    const fs::path root = fresh_vault("qel-bench-create-pair");
    int i = 0;
    qel_bench::paired(
        state, 8,
        [&] {
            benchmark::DoNotOptimize(qel_lib::ops::create_wallet("p" + std::to_string(i++),
                                                                 std::string_view("bench passphrase"), std::nullopt,
                                                                 root));
        },
        bare_scrypt);
    fs::remove_all(root);
}
BENCHMARK(BM_CreateWalletVsScrypt)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_SignMessageVsScrypt(benchmark::State& state) {
    const fs::path root = fresh_vault("qel-bench-sign-pair");
    if (!qel_lib::ops::create_wallet("signer", std::string_view("bench passphrase"), std::nullopt, root)) {
        state.SkipWithError("create_wallet failed");
        return;
    }
    qel_bench::paired(
        state, 8,
        [&] {
            benchmark::DoNotOptimize(qel_lib::ops::sign_message("signer", "ethereum", "hello",
                                                                std::string_view("bench passphrase"), std::nullopt,
                                                                std::nullopt, root));
        },
        bare_scrypt);
    fs::remove_all(root);
}
BENCHMARK(BM_SignMessageVsScrypt)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
