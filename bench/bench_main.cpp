#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bench.hpp"

namespace kavelo::bench {

std::vector<Case>& registry() {
  static std::vector<Case> cases;
  return cases;
}

namespace {

double seconds_for(const Case& c, std::uint64_t runs) {
  auto start = std::chrono::steady_clock::now();
  for (std::uint64_t i = 0; i < runs; ++i) c.run();
  std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  return elapsed.count();
}

void measure(const Case& c) {
  // Calibrate to about 20 ms per round, then take the median of 11 rounds.
  std::uint64_t runs = 1;
  while (seconds_for(c, runs) < 0.02 && runs < (1ull << 40)) runs *= 2;
  std::vector<double> per_unit;
  for (int round = 0; round < 11; ++round) {
    double s = seconds_for(c, runs);
    per_unit.push_back(s * 1e9 / static_cast<double>(runs * c.units_per_run));
  }
  std::sort(per_unit.begin(), per_unit.end());
  double median = per_unit[per_unit.size() / 2];
  if (median >= 100000.0) {
    std::printf("%-48s %12.3f ms per %s\n", c.name.c_str(), median / 1e6, c.unit.c_str());
  } else {
    std::printf("%-48s %12.2f ns per %s\n", c.name.c_str(), median, c.unit.c_str());
  }
}

}  // namespace
}  // namespace kavelo::bench

// kavelo_bench [FILTER]: the median time per unit of every case whose name contains
// FILTER. kavelo_bench --runs N [FILTER]: runs each such case N times, untimed and
// silent, for counting the instructions of N runs (under callgrind, or an emulator that
// traces each instruction) instead of timing them.
int main(int argc, char** argv) {
  std::uint64_t runs = 0;
  int next = 1;
  if (argc > 2 && std::strcmp(argv[1], "--runs") == 0) {
    char* end = nullptr;
    runs = std::strtoull(argv[2], &end, 10);
    if (*argv[2] == '\0' || *end != '\0') {
      std::fprintf(stderr, "usage: %s [--runs N] [FILTER]\n", argv[0]);
      return 2;
    }
    next = 3;
  }
  const char* filter = argc > next ? argv[next] : "";
  for (const auto& c : kavelo::bench::registry()) {
    if (std::strstr(c.name.c_str(), filter) == nullptr) continue;
    if (next == 1) {
      kavelo::bench::measure(c);
    } else {
      for (std::uint64_t i = 0; i < runs; ++i) c.run();
    }
  }
  return 0;
}
