// The seventeen resource limits: their names, defaults and hard maxima.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "errors/error_table.hpp"

namespace kavelo {

// Row order of the resource table; also the order of every listing of limits.
enum class Resource : std::uint8_t {
  SourceBytes,
  EnvironmentItems,
  EnvironmentBytes,
  ParseDepth,
  AstNodes,
  ParsedInstructions,
  ExecutedInstructions,
  NestingDepth,
  SourceItems,
  GeneratedValues,
  RngWords,
  CollectionItems,
  TraceNodes,
  OutputItems,
  OutputBytes,
  WorkUnits,
  BatchSamples,
};

// BatchSamples is the last resource.
inline constexpr std::size_t kResourceCount = static_cast<std::size_t>(Resource::BatchSamples) + 1;

struct ResourceSpec {
  const char* name;  // static, NUL-terminated, lower-case ASCII
  std::uint64_t default_limit;
  std::uint64_t hard_max;
};

inline constexpr auto RESOURCE_SPECS = std::to_array<ResourceSpec>({
    {"source_bytes", 65536, 1048576},
    {"environment_items", 1024, 16384},
    {"environment_bytes", 1048576, 16777216},
    {"parse_depth", 64, 256},
    {"ast_nodes", 4096, 65536},
    {"parsed_instructions", 1000, 10000},
    {"executed_instructions", 10000, 1000000},
    {"nesting_depth", 32, 128},
    {"source_items", 10000, 100000},
    {"generated_values", 10000, 1000000},
    {"rng_words", 20000, 2000000},
    {"collection_items", 10000, 100000},
    {"trace_nodes", 20000, 200000},
    {"output_items", 10000, 100000},
    {"output_bytes", 8388608, 67108864},
    {"work_units", 1000000, 50000000},
    {"batch_samples", 10000, 1000000},
});
static_assert(RESOURCE_SPECS.size() == kResourceCount, "one row per resource");
// The error table names the limit error of every resource by its code, in this order.
static_assert(
    [] {
      if (kLimitCodes.size() != RESOURCE_SPECS.size()) return false;
      for (std::size_t i = 0; i < RESOURCE_SPECS.size(); ++i) {
        if (!kLimitCodes[i].starts_with(kLimitCodePrefix) ||
            kLimitCodes[i].substr(kLimitCodePrefix.size()) != RESOURCE_SPECS[i].name) {
          return false;
        }
      }
      return true;
    }(),
    "kLimitCodes lists \"limit.<name>\" for every resource, in table order");

constexpr std::size_t index_of(Resource r) noexcept { return static_cast<std::size_t>(r); }
constexpr const ResourceSpec& spec_of(Resource r) noexcept { return RESOURCE_SPECS[index_of(r)]; }
constexpr const char* name_of(Resource r) noexcept { return spec_of(r).name; }

// Exact, case-sensitive lookup of a name handed in from outside (with_limit, listings).
// Dispatches on the length first so most names are rejected after one compare.
[[nodiscard]] std::optional<Resource> find_resource(std::string_view name) noexcept;

}  // namespace kavelo
