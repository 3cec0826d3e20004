#!/usr/bin/env bash
# Lints the C++ tree with pinned tools from the checkout's virtual environment (.venv,
# see scripts/venv.sh): clang-format over src, tests/cpp, bench and fuzz against
# .clang-format, then clang-tidy over src/ against .clang-tidy, reading the compile
# commands of a configure-only CMake build in build/tidy.
#
#   bash scripts/lint_cpp.sh               check both; fails on any difference or finding
#   bash scripts/lint_cpp.sh --fix         format the files in place, then run clang-tidy
#   bash scripts/lint_cpp.sh --format-only the format step alone (with or without --fix)
#
# The versions are pinned because clang-format's output changes between releases: the
# tree is formatted by exactly this one.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/venv.sh

CLANG_FORMAT_VERSION=23.1.3
CLANG_TIDY_VERSION=23.1.3
JOBS=${JOBS:-$(nproc 2>/dev/null || echo 2)}

fix=0
tidy=1
for argument in "$@"; do
  case "$argument" in
    --fix) fix=1 ;;
    --format-only) tidy=0 ;;
    *) echo "usage: $0 [--fix] [--format-only]" >&2; exit 2 ;;
  esac
done

kavelo_venv
venv_pip "clang-format==$CLANG_FORMAT_VERSION" "clang-tidy==$CLANG_TIDY_VERSION" "cmake>=3.21" ninja
bin=$(dirname "$VENV_PYTHON")

mapfile -t sources < <(git ls-files -- 'src/*.cpp' 'src/*.hpp' 'tests/cpp/*.cpp' \
  'tests/cpp/*.hpp' 'bench/*.cpp' 'bench/*.hpp' 'fuzz/*.cpp' 'fuzz/*.hpp')
if [ "$fix" -eq 1 ]; then
  echo "== clang-format $CLANG_FORMAT_VERSION: formatting ${#sources[@]} files in place"
  "$bin/clang-format" -i "${sources[@]}"
else
  echo "== clang-format $CLANG_FORMAT_VERSION: checking ${#sources[@]} files"
  "$bin/clang-format" --dry-run --Werror "${sources[@]}"
fi

[ "$tidy" -eq 1 ] || exit 0
echo "== clang-tidy $CLANG_TIDY_VERSION over src/"
cmake -S . -B build/tidy -G Ninja -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
  -DKAVELO_BUILD_PYTHON=ON -DKAVELO_BUILD_TESTS=OFF >/dev/null
"$VENV_PYTHON" "$bin/run-clang-tidy.py" -quiet -p build/tidy -j "$JOBS" \
  -clang-tidy-binary "$bin/clang-tidy" "$PWD/src/" >build/tidy/clang-tidy.log 2>&1 || {
  grep -v '^clang-tidy-' build/tidy/clang-tidy.log | grep -v '^\[' >&2 || true
  echo "$0: clang-tidy found the problems above (full output: build/tidy/clang-tidy.log)" >&2
  exit 1
}
echo "== clang-tidy: clean"
