#include <algorithm>
#include <cstdio>
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

int main(int argc, char** argv) {
  const char* filter = argc > 1 ? argv[1] : "";
  for (const auto& c : kavelo::bench::registry()) {
    if (std::strstr(c.name.c_str(), filter) != nullptr) kavelo::bench::measure(c);
  }
  return 0;
}
