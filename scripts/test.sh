#!/usr/bin/env bash
# Every test: the C++ tests in a normal build and under AddressSanitizer and
# UndefinedBehaviorSanitizer, a short run of every fuzz target, a strict type
# check of the Python package, then the Python tests against the installed
# package, one worker per core. The sanitized C++ tests run meanwhile (they share
# nothing with the others, and much of the Python tests' time is spent waiting on
# child processes); their output follows at the end.
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

echo "== C++ tests under ASan and UBSan (output below, once the Python tests are done)"
mkdir -p build/asan
sanitized_log=build/asan/test.log
set -m  # its own process group, so that an interruption or failure here can end all of it
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  run_cpp build/asan -DCMAKE_BUILD_TYPE=Debug -DQEL_SANITIZE=ON >"$sanitized_log" 2>&1 &
sanitized=$!
set +m
trap 'kill -- -"$sanitized" 2>/dev/null || true' EXIT
trap 'exit 130' INT TERM

status=0
echo "== Fuzz smoke (every target from its seed corpus, ${FUZZ_SECONDS:-5} s each)"
FUZZ_SMOKE=1 bash scripts/fuzz.sh || status=1
echo "== Type check (mypy --strict, python/qel)"
.venv/bin/python -m mypy || status=1
echo "== Python tests"
.venv/bin/python -m pytest -q -n "$jobs" tests/python || status=1

echo "== C++ tests under ASan and UBSan"
wait "$sanitized" || status=1
trap - EXIT
cat "$sanitized_log"
exit $status
