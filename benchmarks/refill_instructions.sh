#!/usr/bin/env bash
# Instructions per four-block ChaCha-12 refill on 64-bit ARM, counted under user-mode
# emulation: the refill program is cross-built statically, run once with 100 refills and
# once with none under qemu, one instruction per translated block and every executed
# block logged, and the difference of the logged lines is divided by 100. Prints the
# count of the portable path and of the NEON path. Needs g++-aarch64-linux-gnu and
# qemu-user-static (scripts/build_wheel.sh --arch aarch64 installs both).
#
#     bash benchmarks/refill_instructions.sh
set -euo pipefail
cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
aarch64-linux-gnu-g++ -std=c++23 -O3 -static -Isrc bench/refill_count.cpp \
  src/random/chacha12.cpp src/random/chacha12_neon.cpp -o "$work/refill_count"
count() {
  qemu-aarch64-static -singlestep -d exec,nochain -D "$work/log" "$work/refill_count" "$1" "$2" >/dev/null
  grep -c '^Trace' "$work/log"
}
for path in scalar neon; do
  none=$(count "$path" 0)
  hundred=$(count "$path" 100)
  echo "$path: $(((hundred - none) / 100)) instructions per refill of four blocks"
done
