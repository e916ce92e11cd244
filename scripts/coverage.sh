#!/usr/bin/env bash
# Line, function and branch coverage of src/ by the whole suite: the C++ tests
# and the extension modules built with gcc's coverage counters in
# build/coverage, the C++ tests run, then the Python tests run against the
# instrumented modules (a staged copy of the package found through PYTHONPATH
# ahead of the one installed in .venv), then gcovr's summary.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
dir=build/coverage
# Called from make: keep the inner builds from announcing every directory.
unset MAKEFLAGS MFLAGS MAKELEVEL

cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DQEL_COVERAGE=ON -DQEL_BUILD_TESTS=ON -DQEL_BUILD_PYTHON=ON \
  -DPython_EXECUTABLE="$PWD/.venv/bin/python" >/dev/null
cmake --build "$dir" -j "$jobs"
find "$dir" -name '*.gcda' -delete

# A failing test is reported, but the figures are still printed.
status=0
echo "== C++ tests"
ctest --test-dir "$dir" -j "$jobs" --output-on-failure >"$dir/ctest.log" 2>&1 || status=1
grep -E "tests passed|\*\*\*Failed|Timeout" "$dir/ctest.log" || true

echo "== Python tests"
stage="$dir/stage"
rm -rf "$stage"
mkdir -p "$stage"
cp -r python/qel "$stage/qel"
cp "$dir"/src/python/*.so "$stage/qel/"
PYTHONPATH="$PWD/$stage" .venv/bin/python -c \
  'import qel._native, sys; sys.exit(not qel._native.__file__.startswith(sys.argv[1]))' "$PWD/$stage" ||
  { echo "coverage: the staged package is not the one imported" >&2; exit 1; }
PYTHONPATH="$PWD/$stage" .venv/bin/python -m pytest -q -p no:cacheprovider tests/python >"$dir/pytest.log" 2>&1 ||
  status=1
tail -n 1 "$dir/pytest.log"

echo "== Coverage of src/"
.venv/bin/python -m gcovr --root . --filter 'src/' --object-directory "$dir" \
  --txt "$dir/coverage.txt" --print-summary "$dir" | grep -E '^(lines|functions|branches):'
echo "(per file: $dir/coverage.txt)"
[ "$status" -eq 0 ] || echo "coverage: some tests failed; see $dir/ctest.log and $dir/pytest.log" >&2
exit "$status"
