#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz (clang 19, ASan and UBSan) in
# build/fuzz and runs each for a while, FUZZ_JOBS at a time, starting from
# its seed corpus tests/fuzz/corpus/<target>. Inputs that find new coverage
# are kept in build/fuzz/run/corpus/<target>, outside the repository, and
# fuzzed again next time; with FUZZ_MERGE=1 those that add coverage are
# merged into the seed corpus. A crash, sanitizer report, leak, timeout or
# broken invariant fails the run and prints the input that caused it as hex.
#
#   bash scripts/fuzz.sh [target...]   every target when none is named
#   FUZZ_SECONDS  seconds per target (default 180; 5 with FUZZ_SMOKE=1)
#   FUZZ_JOBS     targets run side by side (default 2)
#   FUZZ_MERGE=1  merge new coverage into tests/fuzz/corpus afterwards
#   FUZZ_SMOKE=1  the short run of make test: seed corpus only, nothing kept
#   FUZZ_BUILD    build directory (default build/fuzz)
set -euo pipefail
cd "$(dirname "$0")/.."
unset MAKEFLAGS MFLAGS MAKELEVEL

export build=${FUZZ_BUILD:-build/fuzz}
if [ "${FUZZ_SMOKE:-0}" = 1 ]; then
  export FUZZ_SECONDS=${FUZZ_SECONDS:-5} work=$build/smoke
  rm -rf "$work"
else
  export FUZZ_SECONDS=${FUZZ_SECONDS:-180} work=$build/run
fi
jobs=${FUZZ_JOBS:-2}

cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++-19 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQEL_BUILD_TESTS=OFF -DQEL_BUILD_FUZZ=ON >/dev/null
cmake --build "$build" -j "$(nproc)" | { grep -v -e '^\[' -e '^Consolidate' || true; }

if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=($(cd tests/fuzz && ls *.cpp | sed 's/\.cpp$//'))
fi
mkdir -p "$work/logs" "$work/artifacts"
# The mnemonic target swaps whole words.
sed 's/.*/"&"/' data/bip39-english.txt > "$build/mnemonic.dict"

run_one() {
  local t=$1 log=$work/logs/$1.log status=0
  local -a extra=()
  [ "$t" = mnemonic ] && extra=(-dict="$build/mnemonic.dict")
  mkdir -p "$work/corpus/$t"
  rm -f "$work/artifacts/$t-"*
  "$build/tests/fuzz/fuzz_$t" -max_total_time="$FUZZ_SECONDS" -timeout=25 -print_final_stats=1 \
    -artifact_prefix="$work/artifacts/$t-" "${extra[@]}" "$work/corpus/$t" "tests/fuzz/corpus/$t" \
    >"$log" 2>&1 || status=$?
  local runs rate cov
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 || true)
  local found=("$work/artifacts/$t-"*)
  if [ "$status" -eq 0 ] && [ ! -e "${found[0]}" ]; then
    printf 'fuzz %-12s ok    %10s runs %8s/s  %s\n' "$t" "${runs:-?}" "${rate:-?}" "$cov"
    return 0
  fi
  {
    printf 'fuzz %-12s FAILED (exit %s) after %s runs; the end of %s:\n' "$t" "$status" "${runs:-?}" "$log"
    grep -v -e '^#' -e '^INFO:' -e '^stat::' "$log" | tail -n 40
    for f in "${found[@]}"; do
      [ -e "$f" ] || continue
      echo "input $f ($(wc -c <"$f") bytes), as hex:"
      od -An -v -tx1 "$f" | tr -d ' \n' | fold -w 128
      echo
      echo "reproduce: $build/tests/fuzz/fuzz_$t $f"
    done
  } >&2
  return 1
}
export -f run_one

printf '%s\n' "${targets[@]}" | xargs -P "$jobs" -I{} bash -c 'run_one {}'

if [ "${FUZZ_MERGE:-0}" = 1 ] && [ "${FUZZ_SMOKE:-0}" != 1 ]; then
  for t in "${targets[@]}"; do
    "$build/tests/fuzz/fuzz_$t" -merge=1 "tests/fuzz/corpus/$t" "$work/corpus/$t" >"$work/logs/$t.merge.log" 2>&1
    echo "fuzz $t: $(ls "tests/fuzz/corpus/$t" | wc -l) seeds after merging"
  done
fi
