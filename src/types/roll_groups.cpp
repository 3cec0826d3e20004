#include "types/roll_groups.hpp"

#include <algorithm>
#include <stdexcept>

namespace kavelo {

namespace {
std::uint32_t checked_offset(std::size_t n) {
  if (n > UINT32_MAX) throw std::length_error("roll groups exceed 2^32 values");
  return static_cast<std::uint32_t>(n);
}
}  // namespace

void RollGroups::materialize_ends() {
  ends_.reserve(values_.size() + 1);
  for (std::size_t i = 1; i <= values_.size(); ++i) ends_.push_back(checked_offset(i));
}

void RollGroups::push_single(std::int64_t value) {
  values_.push_back(value);
  if (!ends_.empty()) ends_.push_back(checked_offset(values_.size()));
}

void RollGroups::push_group(std::span<const std::int64_t> group) {
  if (group.size() == 1) {
    push_single(group[0]);
    return;
  }
  if (ends_.empty()) materialize_ends();
  values_.insert(values_.end(), group.begin(), group.end());
  ends_.push_back(checked_offset(values_.size()));
}

void RollGroups::close_group(std::size_t begin) {
  if (ends_.empty()) {
    if (values_.size() == begin + 1) return;
    // Every earlier group was a single value.
    ends_.reserve(begin + 1);
    for (std::size_t i = 1; i <= begin; ++i) ends_.push_back(checked_offset(i));
  }
  ends_.push_back(checked_offset(values_.size()));
}

void RollGroups::append(const RollGroups& other) {
  if (other.values_.empty()) return;
  std::size_t offset = values_.size();
  if (ends_.empty() && other.ends_.empty()) {
    values_.insert(values_.end(), other.values_.begin(), other.values_.end());
    return;
  }
  if (ends_.empty()) materialize_ends();
  values_.insert(values_.end(), other.values_.begin(), other.values_.end());
  if (other.ends_.empty()) {
    for (std::size_t i = 1; i <= other.values_.size(); ++i) {
      ends_.push_back(checked_offset(offset + i));
    }
  } else {
    for (std::uint32_t end : other.ends_) ends_.push_back(checked_offset(offset + end));
  }
}

void RollGroups::assign_singletons(std::vector<std::int64_t>&& values) {
  values_ = std::move(values);
  ends_.clear();
}

void RollGroups::assign_singletons(std::span<const std::int64_t> values) {
  values_.assign(values.begin(), values.end());
  ends_.clear();
}

std::vector<std::int64_t> RollGroups::take_values() noexcept {
  std::vector<std::int64_t> out = std::move(values_);
  values_.clear();
  ends_.clear();
  return out;
}

bool operator==(const RollGroups& a, const RollGroups& b) {
  if (a.values_ != b.values_ || a.group_count() != b.group_count()) return false;
  for (std::size_t g = 0; g < a.group_count(); ++g) {
    if (a.group_end(g) != b.group_end(g)) return false;
  }
  return true;
}

}  // namespace kavelo
