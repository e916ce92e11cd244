#!/usr/bin/env bash
# Benchmarks (not tests): a Release build of the C++ benchmarks, then the
# Python-level listing and typed-data benchmarks against the installed package.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DQEL_BUILD_TESTS=OFF -DQEL_BUILD_BENCH=ON >/dev/null
cmake --build build/bench -j "$(nproc)"
for b in bench_mnemonic bench_derive bench_wallet bench_broadcast bench_extras; do
  echo "== $b"
  build/bench/bench/$b
done
echo "== list_wallets"
.venv/bin/python bench/list_wallets.py build/bench/bench/read_files
echo "== sign_typed_data"
.venv/bin/python bench/typed_data.py
