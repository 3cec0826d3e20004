#!/usr/bin/env bash
# Builds the libFuzzer targets (AddressSanitizer + UndefinedBehaviorSanitizer), replays
# the committed seed corpus through each, then fuzzes each for a bounded time with one
# worker. Any crash, leak, timeout (2 s) or allocation over 256 MB fails the script; the
# input that caused it is kept in build/fuzz/artifacts/<target>/.
#
#   bash fuzz/run.sh                          # 60 s per target (what CI runs)
#   bash fuzz/run.sh --seconds 3600           # the one-hour run, per target
#   bash fuzz/run.sh --seconds 600 evaluate   # some targets only
#   bash fuzz/run.sh --replay-only            # build and replay the corpus
#
# Targets: front_end (parser on arbitrary bytes), evaluate (parse and evaluate under the
# default and a derived tight policy), python (the extension module driven through an
# embedded interpreter), odds (the odds evaluator under derived limits, checked against
# the roller), trace (replay and trace through the interpreter, every shown form read
# back and checked). New inputs found go to fuzz/corpus-work/<target>/ (not committed).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=60
replay_only=0
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds="$2"; shift 2 ;;
    --replay-only) replay_only=1; shift ;;
    front_end|evaluate|python|odds|trace) targets+=("$1"); shift ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done
[ ${#targets[@]} -gt 0 ] || targets=(front_end evaluate python odds trace)

PYTHON=${PYTHON:-python3}
build=build/fuzz

# A clang whose C++23 mode accepts g++ 12's <expected> and that has libFuzzer. clang 14
# does not: its concepts level hides std::expected in that header. Debian's clang-19
# does.
probe_clang() {
  local cxx="$1" dir
  dir=$(mktemp -d)
  printf '#include <expected>\n#include <cstdint>\n#include <cstddef>\nstd::expected<int, int> f(int x) { return x; }\nextern "C" int LLVMFuzzerTestOneInput(const std::uint8_t*, std::size_t n) { return f(0).value() + static_cast<int>(n) * 0; }\n' >"$dir/probe.cpp"
  "$cxx" -std=c++23 -fsanitize=fuzzer,address,undefined "$dir/probe.cpp" -o "$dir/probe" >/dev/null 2>&1
  local ok=$?
  rm -rf "$dir"
  return $ok
}

find_clang() {
  for version in 21 20 19 18 17; do
    if command -v "clang++-$version" >/dev/null && probe_clang "clang++-$version"; then
      echo "clang++-$version"
      return 0
    fi
  done
  return 1
}

if ! CXX_FUZZ=$(find_clang); then
  echo "== installing clang-19 and its runtime (libFuzzer, sanitizers)"
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q clang-19 libclang-rt-19-dev
  CXX_FUZZ=$(find_clang) || { echo "no clang with libFuzzer and <expected> support" >&2; exit 1; }
fi
command -v ninja >/dev/null || "$PYTHON" -m pip install -q ninja

echo "== building the fuzz targets with $CXX_FUZZ"
CXX="$CXX_FUZZ" cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKAVELO_SANITIZE=ON -DKAVELO_BUILD_FUZZ=ON -DKAVELO_BUILD_PYTHON=ON \
  -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link \
  -DPython_EXECUTABLE="$(command -v "$PYTHON")" >/dev/null
cmake --build "$build" -j "${JOBS:-2}" --target fuzz_front_end fuzz_evaluate fuzz_python fuzz_odds \
  fuzz_trace

export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
limits=(-timeout=2 -malloc_limit_mb=256 -rss_limit_mb=2048)
summary=()
for target in "${targets[@]}"; do
  binary="$build/fuzz/fuzz_$target"
  work="fuzz/corpus-work/$target"
  artifacts="$build/artifacts/$target"
  log="$build/logs/$target.log"
  mkdir -p "$work" "$artifacts" "$(dirname "$log")"
  leaks=1
  # The interpreter keeps objects until exit by design; the module's leaks are covered
  # by the two core targets and the leak check.
  [ "$target" = python ] || [ "$target" = trace ] && leaks=0

  echo "== $target: replaying the seed corpus"
  "$binary" "${limits[@]}" -detect_leaks=$leaks -runs=0 -artifact_prefix="$artifacts/" \
    fuzz/corpus >"$log.replay" 2>&1 || { tail -n 60 "$log.replay"; exit 1; }
  replayed=$(find fuzz/corpus -type f | wc -l)

  executed=0
  if [ "$replay_only" -eq 0 ]; then
    echo "== $target: fuzzing for $seconds s"
    if ! "$binary" "${limits[@]}" -detect_leaks=$leaks -max_total_time="$seconds" \
        -dict=fuzz/kavelo.dict -print_final_stats=1 -artifact_prefix="$artifacts/" \
        "$work" fuzz/corpus >"$log" 2>&1; then
      tail -n 80 "$log"
      echo "fuzz target $target failed; the input is in $artifacts/" >&2
      exit 1
    fi
    executed=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  fi
  corpus=$(find "$work" -type f | wc -l)
  summary+=("$(printf '%-10s replayed %4d seeds, %10s executions in %ss, working corpus %d' \
    "$target" "$replayed" "$executed" "$seconds" "$corpus")")
done

echo "== fuzzing summary"
printf '%s\n' "${summary[@]}"
