#!/usr/bin/env bash
# Every test: the C++ tests in a normal build and under AddressSanitizer and
# UndefinedBehaviorSanitizer, a short run of every fuzz target, a strict type
# check of the Python package, then the Python tests against the installed
# package.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
# Called from make: keep the inner builds from announcing every directory.
unset MAKEFLAGS MFLAGS MAKELEVEL

run_cpp() {
  local dir=$1; shift
  cmake -S . -B "$dir" -DQEL_BUILD_TESTS=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs"
}

echo "== C++ tests"
run_cpp build/cpp -DCMAKE_BUILD_TYPE=RelWithDebInfo
echo "== C++ tests under ASan and UBSan"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  run_cpp build/asan -DCMAKE_BUILD_TYPE=Debug -DQEL_SANITIZE=ON
echo "== Fuzz smoke (every target from its seed corpus, ${FUZZ_SECONDS:-8} s each)"
FUZZ_SMOKE=1 bash scripts/fuzz.sh
echo "== Type check (mypy --strict, python/qel)"
.venv/bin/python -m mypy
echo "== Python tests"
.venv/bin/python -m pytest -q tests/python
