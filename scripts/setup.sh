#!/usr/bin/env bash
# Brings a fresh machine to the point where the project builds and its tests
# run: Debian packages, the Python 3.12 virtual environment with the test
# packages, and the installed qel package. Safe to rerun; quick when nothing
# is missing or changed.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(build-essential cmake libsecp256k1-dev libsodium-dev libssl-dev nlohmann-json3-dev libsimdjson-dev libgtest-dev
          libbenchmark-dev pkg-config curl clang-19 libclang-rt-19-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# cmake may come from elsewhere than Debian; only install it when absent.
if command -v cmake >/dev/null 2>&1; then
  missing=("${missing[@]/cmake}")
fi
missing=($(printf '%s\n' "${missing[@]}" | grep -v '^$' || true))
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null
fi

find_python312() {
  if command -v pyenv >/dev/null 2>&1; then
    local v
    v=$(pyenv versions --bare 2>/dev/null | grep -E '^3\.12(\.[0-9]+)?$' | sort -V | tail -n 1 || true)
    if [ -n "$v" ]; then
      echo "$(pyenv root)/versions/$v/bin/python3"
      return
    fi
  fi
  command -v python3.12 || true
}

venv=.venv

# pip, quiet, keeping its exit status; drops the notes about package index
# locations this machine's pip configuration names but does not have.
pip_quiet() {
  local log status=0
  log=$(mktemp)
  "$venv/bin/python" -m pip "$@" -q >"$log" 2>&1 || status=$?
  grep -v '^WARNING: Location' "$log" || true
  rm -f "$log"
  return $status
}
if [ ! -x "$venv/bin/python" ] || ! "$venv/bin/python" -c 'import sys; assert sys.version_info[:2] == (3, 12)' 2>/dev/null; then
  py=$(find_python312)
  if [ -z "$py" ]; then
    echo "setup: no Python 3.12 found (pyenv or python3.12)" >&2
    exit 1
  fi
  rm -rf "$venv"
  "$py" -m venv "$venv"
fi

# Build and test packages, reinstalled when pyproject.toml changes.
deps_stamp="$venv/.qel-deps"
deps_key=$(sha256sum pyproject.toml | cut -d' ' -f1)
if [ "$(cat "$deps_stamp" 2>/dev/null)" != "$deps_key" ]; then
  pip_quiet install --upgrade pip
  pip_quiet install "scikit-build-core>=0.10" \
    $("$venv/bin/python" - <<'PY'
import tomllib
with open("pyproject.toml", "rb") as f:
    print(" ".join(repr(d)[1:-1] for d in tomllib.load(f)["project"]["optional-dependencies"]["test"]))
PY
)
  echo "$deps_key" > "$deps_stamp"
fi

# The package itself, rebuilt (incrementally, in build/py) when a source changed.
pkg_stamp="$venv/.qel-installed"
if [ ! -f "$pkg_stamp" ] || [ -n "$(find src python cmake data CMakeLists.txt pyproject.toml -newer "$pkg_stamp" -print -quit)" ]; then
  echo "setup: building and installing qel"
  pip_quiet install --no-build-isolation --no-deps .
  touch "$pkg_stamp"
fi
