// A minimal benchmark registry: each case reports the median time per unit of work
// over several timed rounds. Not a test; run `kavelo_bench [filter]`.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kavelo::bench {

struct Case {
  std::string name;
  std::string unit;             // what one unit of work is ("die", "draw", "call")
  std::uint64_t units_per_run;  // units of work done by one call of `run`
  std::function<void()> run;
};

std::vector<Case>& registry();

struct Registrar {
  Registrar(std::string name, std::string unit, std::uint64_t units_per_run,
            std::function<void()> run) {
    registry().push_back({std::move(name), std::move(unit), units_per_run, std::move(run)});
  }
};

// Keeps a value alive so the optimiser cannot drop the work that made it.
template <class T>
inline void do_not_optimize(const T& value) {
  asm volatile("" : : "r,m"(value) : "memory");
}

}  // namespace kavelo::bench

#define KAVELO_BENCH_CONCAT_(a, b) a##b
#define KAVELO_BENCH_CONCAT(a, b) KAVELO_BENCH_CONCAT_(a, b)
#define KAVELO_BENCHMARK(name, unit, units, ...)                                            \
  static ::kavelo::bench::Registrar KAVELO_BENCH_CONCAT(kavelo_bench_registrar_, __LINE__)( \
      name, unit, units, __VA_ARGS__)
