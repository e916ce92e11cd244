#pragma once

// Compares an operation with the bare primitive it is built on by running the
// two alternately, so that a noisy machine (frequency changes, neighbours)
// slows both alike, and reporting the medians and their ratio.
#include <algorithm>
#include <chrono>
#include <vector>

#include <benchmark/benchmark.h>

namespace qel_bench {

template <class Ours, class Bare>
void paired(benchmark::State& state, int pairs, Ours ours, Bare bare) {
    std::vector<double> a;
    std::vector<double> b;
    const auto time = [](auto& fn) {
        const auto start = std::chrono::steady_clock::now();
        fn();
        return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
    };
    for (auto _ : state) {
        for (int i = 0; i < pairs; ++i) {
            a.push_back(time(ours));
            b.push_back(time(bare));
        }
    }
    const auto median = [](std::vector<double>& v) {
        std::nth_element(v.begin(), v.begin() + static_cast<long>(v.size() / 2), v.end());
        return v[v.size() / 2];
    };
    const double ours_us = median(a);
    const double bare_us = median(b);
    state.counters["ours_us"] = ours_us;
    state.counters["bare_us"] = bare_us;
    state.counters["ratio"] = ours_us / bare_us;
}

}  // namespace qel_bench
