#!/usr/bin/env bash
# Runs every test: the C++ unit tests through CTest and the Python tests through pytest,
# with the browser tests of tests/web where the page is built (scripts/build_web.sh
# --test-tools; otherwise they are skipped with that reason).
#
# Needs python3 (3.11 or newer) with venv and its development headers, and g++ 12 or
# newer. Everything else comes into the checkout's virtual environment .venv (made here
# when it is missing, see scripts/venv.sh): CMake, Ninja, pytest, hypothesis, ruff,
# mypy and Selenium (at the versions scripts/venv.sh pins) and kavelo itself. GoogleTest comes from
# Debian's libgtest-dev when the machine lacks it, installed as root or through sudo;
# otherwise the script stops and says what to install.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/venv.sh

JOBS=${JOBS:-$(nproc 2>/dev/null || echo 2)}

have_gtest() {
  [ -e /usr/include/gtest/gtest.h ] || [ -e /usr/local/include/gtest/gtest.h ]
}
if ! have_gtest; then
  if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
    as_root=()
  elif command -v sudo >/dev/null && command -v apt-get >/dev/null; then
    as_root=(sudo)
  else
    echo "$0: GoogleTest is missing: install it (Debian: apt-get install libgtest-dev) and run again" >&2
    exit 1
  fi
  echo "== installing GoogleTest (libgtest-dev)"
  "${as_root[@]}" apt-get update -q
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q libgtest-dev
fi

kavelo_venv
echo "== installing the build and test tools and kavelo into $(dirname "$(dirname "$VENV_PYTHON")")"
venv_pip "cmake>=3.26" ninja "pytest>=7" "hypothesis>=6" "${KAVELO_LINT_TOOLS[@]}" \
  "${KAVELO_WEB_TEST_TOOLS[@]}"
venv_pip .

echo "== C++ tests"
cmake -S . -B build/tests -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DKAVELO_BUILD_PYTHON=OFF -DKAVELO_BUILD_TESTS=ON >/dev/null
cmake --build build/tests -j "$JOBS"
ctest --test-dir build/tests --output-on-failure -j "$JOBS"

echo "== Python tests, and the browser tests where the page is built (scripts/build_web.sh)"
"$VENV_PYTHON" -m pytest -q -p no:cacheprovider tests/python tests/web
