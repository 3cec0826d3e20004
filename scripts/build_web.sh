#!/usr/bin/env bash
# Builds kavelo for the browser into build/web/: the WebAssembly module kavelo.wasm (the
# core and the odds, compiled by Debian's clang 19 for wasm32-wasi), the ES module
# kavelo.mjs with its TypeScript declarations kavelo.d.ts, and the page index.html.
#
#   bash scripts/build_web.sh               build (installing the compiler when missing)
#   bash scripts/build_web.sh --test-tools  also install what the browser tests need:
#                                           Chromium and its driver, the TypeScript
#                                           compiler (Debian), Selenium (into .venv)
#
# Debian's packages are installed as root or through sudo, only when missing; CMake and
# Ninja come into the checkout's .venv (scripts/venv.sh). The Python build is untouched:
# this is a separate CMake build in build/wasm.
#
# To open the page: python3 -m http.server -d build/web 8000, then http://127.0.0.1:8000/
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/venv.sh

JOBS=${JOBS:-$(nproc 2>/dev/null || echo 2)}
test_tools=0
for argument in "$@"; do
  case "$argument" in
    --test-tools) test_tools=1 ;;
    *) echo "usage: $0 [--test-tools]" >&2; exit 2 ;;
  esac
done

# The compiler, linker, C library and C++ library for wasm32-wasi.
packages=(clang-19 lld-19 libc++-19-dev-wasm32 libc++abi-19-dev-wasm32 libclang-rt-19-dev-wasm32
  wasi-libc)
if [ "$test_tools" -eq 1 ]; then
  # A font with Chinese glyphs, so that the screenshots show the error texts.
  packages+=(chromium chromium-driver node-typescript fonts-wqy-microhei)
fi

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
if [ "${#missing[@]}" -gt 0 ]; then
  if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
    as_root=()
  elif command -v sudo >/dev/null && command -v apt-get >/dev/null; then
    as_root=(sudo)
  else
    echo "$0: missing Debian packages: ${missing[*]}; install them and run again" >&2
    exit 1
  fi
  echo "== installing ${missing[*]}"
  "${as_root[@]}" apt-get update -q >/dev/null
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
    "${missing[@]}" >/dev/null
fi

kavelo_venv
venv_pip "cmake>=3.26" ninja
if [ "$test_tools" -eq 1 ]; then
  venv_pip "${KAVELO_WEB_TEST_TOOLS[@]}"
fi

echo "== kavelo.wasm (clang 19, wasm32-wasi)"
cmake -S . -B build/wasm -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/wasm32-wasi.cmake" \
  -DKAVELO_BUILD_WEB=ON -DKAVELO_BUILD_PYTHON=OFF >/dev/null
cmake --build build/wasm -j "$JOBS"

mkdir -p build/web
cp web/kavelo.mjs web/kavelo.d.ts build/wasm/src/web_bindings/kavelo.wasm build/web/
# The page's script runs under its content security policy by its hash, filled in here.
"$VENV_PYTHON" - <<'PYTHON'
import base64, hashlib, pathlib, re

page = pathlib.Path("web/index.html").read_text(encoding="utf-8")
scripts = re.findall(r'<script type="module">(.*?)</script>', page, re.S)
assert len(scripts) == 1, "index.html has one inline module script"
digest = base64.b64encode(hashlib.sha256(scripts[0].encode("utf-8")).digest()).decode()
assert page.count("sha256-PAGE_SCRIPT_HASH") == 1
page = page.replace("sha256-PAGE_SCRIPT_HASH", f"sha256-{digest}")
pathlib.Path("build/web/index.html").write_text(page, encoding="utf-8")
PYTHON
size=$(wc -c <build/web/kavelo.wasm)
compressed=$(gzip -9 -c build/web/kavelo.wasm | wc -c)
echo "== build/web: kavelo.wasm $size bytes ($compressed gzip -9), kavelo.mjs, kavelo.d.ts, index.html"
