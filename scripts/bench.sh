#!/usr/bin/env bash
# Benchmarks (not tests): a Release build of the C++ benchmarks, then the
# Python-level listing and typed-data benchmarks against the installed package.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DQEL_BUILD_TESTS=OFF -DQEL_BUILD_BENCH=ON >/dev/null
cmake --build build/bench -j "$(nproc)"
for b in bench_mnemonic bench_derive bench_wallet bench_broadcast bench_extras bench_transactions; do
  echo "== $b"
  build/bench/bench/$b
done
echo "== threads"
# The package as it was before calls released the interpreter lock, built once,
# for the single-call comparison.
baseline_rev=0662942
baseline=build/bench/baseline-$baseline_rev
if [ ! -d "$baseline/site/qel" ]; then
  rm -rf "$baseline" && mkdir -p "$baseline/src"
  git archive "$baseline_rev" | tar -x -C "$baseline/src"
  .venv/bin/python -m pip install -q --no-build-isolation --no-deps --target "$baseline/site" "$baseline/src" \
    -C build-dir="$PWD/$baseline/build"
fi
.venv/bin/python bench/threads.py "$baseline/site"
echo "== list_wallets"
.venv/bin/python bench/list_wallets.py build/bench/bench/read_files
echo "== sign_typed_data"
.venv/bin/python bench/typed_data.py
