// The main of every benchmark. The library initialises libsodium on first
// use, which picks the fastest code for this CPU; a bare primitive measured
// beside it must run with the same choice, so libsodium starts first.
#include <benchmark/benchmark.h>
#include <sodium.h>

int main(int argc, char** argv) {
    if (sodium_init() < 0) return 1;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
