#!/usr/bin/env bash
# The whole pytest suite once more, against the extension built with AddressSanitizer and
# UndefinedBehaviorSanitizer (g++, KAVELO_SANITIZE=ON). The sanitized module is staged
# in build/asan-python/site and put first on the path of this run only: the normally
# installed kavelo is left as it is. The interpreter allocates with plain malloc so
# that ASan sees every object, and leak detection is on for the interpreter and every
# child process the tests start.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
# The interpreter binary itself: pyenv and the like put a shell script first on PATH,
# and the preloaded runtime would check the shell too.
PYEXE=$("$PYTHON" -c 'import sys; print(sys.executable)')
build=build/asan-python
site="$PWD/$build/site"

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKAVELO_SANITIZE=ON \
  -DKAVELO_BUILD_PYTHON=ON -DPython_EXECUTABLE="$PYEXE" >/dev/null
cmake --build "$build" -j "${JOBS:-2}" --target _core _odds _trace

rm -rf "$site"
mkdir -p "$site/kavelo"
cp -R python/kavelo/. "$site/kavelo/"
cp "$build"/_core*.so "$build"/src/odds_bindings/_odds*.so "$build"/src/trace_bindings/_trace*.so \
  "$site/kavelo/"

export PYTHONPATH="$site"
export PYTHONMALLOC=malloc
export LD_PRELOAD
LD_PRELOAD=$(g++ -print-file-name=libasan.so)
export ASAN_OPTIONS=detect_leaks=1
export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan_suppressions.txt:print_suppressions=0"
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

"$PYEXE" - "$site" <<'EOF'
import sys
import kavelo._core as core
assert core.__file__.startswith(sys.argv[1]), core.__file__
print("sanitized module:", core.__file__)
EOF
"$PYEXE" -m pytest -q -p no:cacheprovider tests/python
