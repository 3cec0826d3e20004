#!/usr/bin/env bash
# Installs what the tests need, builds and installs kavelo, then runs every test:
# the C++ unit tests through CTest and the Python tests through pytest.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
JOBS=${JOBS:-$(nproc 2>/dev/null || echo 2)}

# GoogleTest comes from Debian's package; install it when it is missing.
if [ ! -e /usr/include/gtest/gtest.h ]; then
  echo "== installing libgtest-dev"
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q libgtest-dev
fi

echo "== installing the Python test requirements and kavelo"
"$PYTHON" -m pip install -q --disable-pip-version-check "pytest>=7" "hypothesis>=6" mypy
"$PYTHON" -m pip install -q --disable-pip-version-check .

echo "== C++ tests"
cmake -S . -B build/tests -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DKAVELO_BUILD_PYTHON=OFF -DKAVELO_BUILD_TESTS=ON >/dev/null
cmake --build build/tests -j "$JOBS"
ctest --test-dir build/tests --output-on-failure -j "$JOBS"

echo "== Python tests"
# Run from the tests folder so that the installed package, not the source tree, is imported.
"$PYTHON" -m pytest -q -p no:cacheprovider tests/python
