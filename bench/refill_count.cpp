// Runs N four-block refills of one ChaCha-12 path, after checking that path against the
// portable one at counters around the carry into the high word; for counting the
// instructions of a refill under emulation or callgrind (benchmarks/refill_instructions.sh):
// the count with N refills minus the count with none, divided by N.
//
//     kavelo_refill_count PATH N        PATH: scalar, sse2, avx2, avx512 or neon
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "random/chacha12.hpp"

int main(int argc, char** argv) {
  using namespace kavelo::chacha12;
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s PATH N\n", argv[0]);
    return 2;
  }
  RefillFunction refill = nullptr;
  for (const RefillPath path : kAllRefillPaths) {
    if (std::string_view(argv[1]) == refill_path_name(path)) refill = refill_function(path);
  }
  if (refill == nullptr) {
    std::fprintf(stderr, "%s: no path '%s' here\n", argv[0], argv[1]);
    return 2;
  }
  Key key;
  for (std::size_t i = 0; i < kKeyWords; ++i) key[i] = 0x01020304u * static_cast<unsigned>(i + 1);
  std::uint32_t got[kRefillWords];
  std::uint32_t want[kRefillWords];
  for (const std::uint64_t counter : {0ull, 7ull, 0xFFFFFFFEull, 0xFFFFFFFFFFFFFFFDull}) {
    refill(key, counter, got);
    refill_scalar(key, counter, want);
    if (std::memcmp(got, want, sizeof got) != 0) {
      std::fprintf(stderr, "%s: %s differs from scalar at counter %llu\n", argv[0], argv[1],
                   static_cast<unsigned long long>(counter));
      return 1;
    }
  }
  const long refills = std::strtol(argv[2], nullptr, 10);
  std::uint32_t mix = 0;
  for (long i = 0; i < refills; ++i) {
    refill(key, static_cast<std::uint64_t>(i), got);
    mix ^= got[i % kRefillWords];
  }
  std::printf("%s %ld refills, mix %08x\n", argv[1], refills, mix);
  return 0;
}
