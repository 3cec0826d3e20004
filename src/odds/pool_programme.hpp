// The pool programme: any chain of pool modifiers over any groups, the outcomes streamed
// in the order that needs fewer guesses (see pool_odds.cpp for the method). Its classes
// of dice and their joint moves are in pool_programme.cpp, the walk of the outcomes
// through the stream steps in pool_stream.cpp.
#pragma once

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "odds/pool_state.hpp"
#include "odds/sorted_groups.hpp"

namespace kavelo::odds::pool {

// The guess or count states of the stream steps; see the programme's description.
constexpr std::int64_t kNoGuess = -1;

class PoolProgramme {
 public:
  PoolProgramme(const SortedGroups& groups, std::vector<StreamOp> ops, bool negated,
                std::optional<std::int64_t> tally_target, Meter& meter)
      : groups_(groups),
        ops_(std::move(ops)),
        negated_(negated),
        tally_(tally_target),
        meter_(meter) {}

  // The distribution of the chain's result (its total, or for a tally the count of the
  // target value) for `count` dice, normalised to dice that all finish.
  OddsResult<Acc> run(std::int64_t count);

 private:
  struct State {
    std::vector<std::int64_t> key;
    Acc acc;
  };

  // A range of groups as a class: kDone when nothing is left to come.
  OddsResult<std::int32_t> node_of(std::uint32_t b, std::uint32_t e, std::uint32_t d);

  // A class made before with the same conditional distribution, or kDone. Candidates
  // are the classes of the same shape (number of groups, lengths to come); an exploding
  // die that showed 1, 2 or 5 first has the same run of sixes to come, whenever it was
  // found. Each comparison is charged before it is made.
  OddsResult<std::int32_t> equal_node(const Node& node);

  // How one die of class `id` moves when the current outcome is reached: a pointer into
  // the table, valid until the next class is made.
  OddsResult<const std::vector<Transition>*> transitions(std::int32_t id);

  // Cells for the programme's own tables (classes, their moves), which only grow.
  OddsStatus hold_tables(std::uint64_t cells);

  // How `n` dice of class `id` move together.
  OddsResult<std::vector<Joint>> joint(std::int32_t id, std::int64_t n);

  // The moves of every class of a state together; `held` holds their cells on the meter
  // for as long as the caller keeps them.
  OddsResult<std::vector<Joint>> joint_of(const std::vector<std::int64_t>& key, CellHold& held);

  struct Branch {
    std::vector<std::int64_t> ops;
    std::int64_t emitted;
  };

  // Where the walk through the stream steps stands: the step reached, the values of the
  // current outcome that reach it, and what is known of the values still to come after
  // them (`rest` exact when `known`; `bound` an upper bound of it).
  struct Level {
    std::size_t i;
    std::int64_t count;
    bool known;
    std::int64_t rest;
    std::int64_t bound;
  };
  // A step that guesses how many values are still to come, with the guesses not yet
  // tried: next to last.
  struct Guess {
    Level at;
    std::int64_t next;
    std::int64_t last;
  };

  // A move of a source state's table onto a state of the next outcome.
  struct Move {
    std::size_t target;
    std::int64_t delta;
    double p;
  };
  // The buffers of one step, reused from one source state to the next.
  struct StepScratch {
    std::vector<Branch> branches;
    CellHold branches_hold;
    std::vector<Guess> guesses;
    std::vector<std::int64_t> path;
    std::vector<std::int64_t> key;
    std::vector<std::int64_t> ops;
    // Contributions of one source state: finished ones merged by their shift.
    std::vector<std::pair<std::int64_t, double>> finals;
    std::vector<Move> moves;
  };

  // The level after a keep or drop of the last n values at `at`, given that `after`
  // values follow the ones arriving.
  Level after_last(const Level& at, std::int64_t after) const;

  // Walks from `level` through the steps without branching, updating `ops`; at a step
  // that guesses, takes the first guess and leaves the others in `guesses`. Ends with
  // the level past the last step, or nullopt when a guess turns out wrong.
  std::optional<Level> walk(Level level, std::vector<std::int64_t>& ops,
                            std::vector<Guess>& guesses) const;

  // Feeds `count` values of the current outcome through the stream steps, from the
  // steps' states in `ops`: every path through the guesses that is not found wrong on
  // the way ends in a branch of `out`. The guesses still to try are kept on a stack of
  // their own, so a chain of thousands of steps needs no native stack; every walk is
  // charged before it is made and every branch held before it is stored.
  OddsStatus feed(std::int64_t count, bool known, std::int64_t rest, std::int64_t bound,
                  const std::vector<std::int64_t>& ops, std::size_t key_size, StepScratch& scratch);

  // Whether a state's result can no longer change; false with `wrong` set when a guess
  // it carries can no longer come true.
  bool finished(const std::vector<std::int64_t>& key, bool& wrong) const;

  OddsStatus step();

  // Feeds one joint draw of a source state through the stream and files each branch.
  OddsStatus file_joint(const std::vector<std::int64_t>& source_key, const Joint& j,
                        StepScratch& scratch);

  // One branch's shift and next state: a finished contribution, dropped when its guess
  // can no longer come true, or a move onto the state of its key (made when new).
  OddsStatus file_branch(const Joint& j, Branch& b, StepScratch& scratch);

  // Adds a source state's table into the result and the next states; the last move
  // takes the table itself.
  OddsStatus settle(State& source, StepScratch& scratch);

  const SortedGroups& groups_;
  std::vector<StreamOp> ops_;
  bool negated_;
  std::optional<std::int64_t> tally_;
  Meter& meter_;

  std::vector<Node> nodes_;
  std::unordered_map<NodeKey, std::int32_t, NodeKeyHash> node_ids_;
  std::vector<std::pair<std::uint64_t, std::vector<Transition>>> transitions_;
  struct ShapeKey {
    std::uint32_t groups, min_len, max_len;
    friend bool operator==(const ShapeKey&, const ShapeKey&) = default;
  };
  struct ShapeHash {
    std::size_t operator()(const ShapeKey& k) const noexcept {
      return NodeKeyHash{}(NodeKey{k.groups, k.min_len, k.max_len});
    }
  };
  std::unordered_map<ShapeKey, std::vector<std::int32_t>, ShapeHash> by_shape_;
  std::uint64_t stamp_ = 0;
  std::int64_t outcome_ = 0;
  std::int64_t outcomes_after_ = 0;

  std::vector<State> states_;
  std::unordered_map<std::vector<std::int64_t>, std::size_t, KeyHash> index_;
  Acc final_;
  // Cells of the classes and moves made so far, and of the states' keys held at once.
  std::uint64_t table_cells_ = 0;
  CellHold tables_hold_;
  std::uint64_t key_cells_ = 0;
  CellHold keys_hold_;
};

}  // namespace kavelo::odds::pool
