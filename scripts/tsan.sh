#!/usr/bin/env bash
# The operations from several threads on one vault, built with clang's
# ThreadSanitizer: any data race fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
unset MAKEFLAGS MFLAGS MAKELEVEL
cmake -S . -B build/tsan -DCMAKE_CXX_COMPILER=clang++-19 -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQEL_TSAN=ON \
  -DQEL_BUILD_TESTS=ON >/dev/null
cmake --build build/tsan -j "$(nproc)" --target threads_test
for t in threads_test; do
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" "build/tsan/tests/cpp/$t" --gtest_brief=1
done
