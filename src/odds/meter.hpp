// The bounds of one odds computation: its errors, its limits and the meter that charges
// work and stored probabilities against them.
//
// The odds of an expression are computed without the roll's resource limits; these
// limits are their own. `max_outcomes` bounds the outcomes of every distribution
// (intermediate ones included), `max_work` the elementary steps (one multiply-add of a
// convolution, one state transition), and the probabilities held at once are bounded by
// kCellsPerOutcome times `max_outcomes`, which is what bounds memory.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <utility>

namespace kavelo::odds {

// An error of the odds computation: its full text, "[odds.<code>] ..." for the odds' own
// errors and the front end's text for a text that does not parse.
struct OddsError {
  std::string text;
};

template <class T>
using OddsResult = std::expected<T, OddsError>;
using OddsStatus = std::expected<void, OddsError>;

#define KAVELO_ODDS_TRY(expr)                                      \
  do {                                                             \
    if (auto odds_try_status_ = (expr); !odds_try_status_)         \
      return std::unexpected(std::move(odds_try_status_.error())); \
  } while (false)

struct OddsLimits {
  // Explosions and rerolls are followed until the mass left is below this.
  double tolerance = 1e-15;
  std::uint64_t max_outcomes = 1'000'000;
  std::uint64_t max_work = 400'000'000;
};

inline constexpr std::uint64_t kCellsPerOutcome = 12;

[[nodiscard]] OddsError too_complex(std::string what);

class Meter {
 public:
  explicit Meter(const OddsLimits& limits) noexcept
      : limits_(limits),
        cell_limit_(limits.max_outcomes > UINT64_MAX / kCellsPerOutcome
                        ? UINT64_MAX
                        : limits.max_outcomes * kCellsPerOutcome) {}
  Meter(const Meter&) = delete;
  Meter& operator=(const Meter&) = delete;

  [[nodiscard]] const OddsLimits& limits() const noexcept { return limits_; }
  [[nodiscard]] std::uint64_t work_used() const noexcept { return work_; }
  [[nodiscard]] std::uint64_t cells_held() const noexcept { return cells_; }
  [[nodiscard]] std::uint64_t cells_peak() const noexcept { return cells_peak_; }

  // Charges `units` steps of work.
  [[nodiscard]] OddsStatus work(std::uint64_t units) {
    if (units > limits_.max_work - work_) return std::unexpected(work_exceeded());
    work_ += units;
    return {};
  }
  // Compares the outcome count of one distribution (or of one die's groups) with the limit.
  [[nodiscard]] OddsStatus outcomes(std::uint64_t count, const char* what) const {
    if (count > limits_.max_outcomes) return std::unexpected(outcomes_exceeded(count, what));
    return {};
  }
  // Stored probabilities: taken when a table grows, given back when it shrinks or dies.
  [[nodiscard]] OddsStatus hold(std::uint64_t cells) {
    if (cells > cell_limit_ - cells_) return std::unexpected(cells_exceeded());
    cells_ += cells;
    if (cells_ > cells_peak_) cells_peak_ = cells_;
    return {};
  }
  void release(std::uint64_t cells) noexcept { cells_ -= cells < cells_ ? cells : cells_; }

 private:
  [[nodiscard]] OddsError work_exceeded() const;
  [[nodiscard]] OddsError outcomes_exceeded(std::uint64_t count, const char* what) const;
  [[nodiscard]] OddsError cells_exceeded() const;

  OddsLimits limits_;
  std::uint64_t cell_limit_;
  std::uint64_t work_ = 0;
  std::uint64_t cells_ = 0;
  std::uint64_t cells_peak_ = 0;
};

// The cells one table holds on a meter, given back when the holder dies or moves on.
class CellHold {
 public:
  CellHold() noexcept = default;
  CellHold(const CellHold&) = delete;
  CellHold& operator=(const CellHold&) = delete;
  CellHold(CellHold&& other) noexcept
      : meter_(std::exchange(other.meter_, nullptr)), cells_(std::exchange(other.cells_, 0)) {}
  CellHold& operator=(CellHold&& other) noexcept {
    if (this != &other) {
      reset();
      meter_ = std::exchange(other.meter_, nullptr);
      cells_ = std::exchange(other.cells_, 0);
    }
    return *this;
  }
  ~CellHold() { reset(); }

  // Holds `cells` in all on `meter` (more or fewer than before).
  [[nodiscard]] OddsStatus set(Meter& meter, std::uint64_t cells) {
    if (meter_ != nullptr && meter_ != &meter) reset();
    meter_ = &meter;
    if (cells > cells_) {
      KAVELO_ODDS_TRY(meter.hold(cells - cells_));
    } else {
      meter.release(cells_ - cells);
    }
    cells_ = cells;
    return {};
  }
  void reset() noexcept {
    if (meter_ != nullptr) meter_->release(cells_);
    meter_ = nullptr;
    cells_ = 0;
  }

 private:
  Meter* meter_ = nullptr;
  std::uint64_t cells_ = 0;
};

}  // namespace kavelo::odds
