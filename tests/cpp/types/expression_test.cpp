// The syntax-tree pool: fixed orders of alternatives and kinds, node counts, and trees
// far deeper than any call stack.
#include "types/expression.hpp"

#include <gtest/gtest.h>
#include <pthread.h>

#include <vector>

namespace kavelo {
namespace {

using K = ModifierKind;

TEST(ExpressionKinds, AlternativesKeepTheirFixedOrder) {
  const ExprKind order[] = {ExprKind::Number,   ExprKind::Dice,     ExprKind::Add,
                            ExprKind::Subtract, ExprKind::Multiply, ExprKind::Divide,
                            ExprKind::Power,    ExprKind::Paren,    ExprKind::Commented};
  for (int i = 0; i < 9; ++i) EXPECT_EQ(static_cast<int>(order[i]), i);
}

TEST(ExpressionKinds, ModifierKindsKeepTheirFixedOrderAndValues) {
  struct Row {
    ModifierKind kind;
    bool takes_value;
  };
  const Row rows[] = {{K::Explode, false},  {K::ExplodeAlias, false}, {K::ExplodeKeepHigh, true},
                      {K::Reroll, true},    {K::RerollOnce, true},    {K::RerollUntil, true},
                      {K::RerollAdd, true}, {K::KeepAlias, true},     {K::KeepHigh, true},
                      {K::KeepLow, true},   {K::DropHigh, true},      {K::DropLow, true},
                      {K::Unique, false},   {K::Sort, false},         {K::Count, true}};
  ASSERT_EQ(std::size(rows), static_cast<std::size_t>(kModifierKindCount));
  for (int i = 0; i < kModifierKindCount; ++i) {
    EXPECT_EQ(static_cast<int>(rows[i].kind), i);
    EXPECT_EQ(modifier_takes_value(rows[i].kind), rows[i].takes_value) << "kind " << i;
  }
}

TEST(ExpressionNodes, CountsNumbersDiceAndModifiers) {
  ExpressionPool pool;
  NodeId seven = pool.add_number(-7);
  EXPECT_EQ(expression_ast_nodes(pool, seven), 1u);
  EXPECT_EQ(pool.node(seven).value, -7);

  NodeId plain = pool.add_dice(2, 6, std::vector<DiceModifier>{});
  EXPECT_EQ(expression_ast_nodes(pool, plain), 1u);

  const std::vector<DiceModifier> written{{K::Explode, 0}, {K::Unique, 0}, {K::KeepHigh, 3}};
  NodeId modified = pool.add_dice(3, 6, written);
  EXPECT_EQ(expression_ast_nodes(pool, modified), 4u);
  DiceTerm term = pool.dice(pool.node(modified));
  EXPECT_EQ(term.count, 3);
  EXPECT_EQ(term.sides, 6);
  EXPECT_EQ(std::vector<DiceModifier>(term.modifiers.begin(), term.modifiers.end()), written);

  std::vector<DiceModifier> many(4000, DiceModifier{K::KeepHigh, 1});
  NodeId big = pool.add_dice(1, 6, many);
  EXPECT_EQ(expression_ast_nodes(pool, big), 4001u);
}

TEST(ExpressionNodes, CountsOnlyTheSubtreeOfTheRoot) {
  // Two instructions in one pool: (1+2)*3 and 1+(2*3), then a commented 4d6kh3.
  ExpressionPool pool;
  NodeId one = pool.add_number(1);
  NodeId sum = pool.add_binary(ExprKind::Add, one, pool.add_number(2));
  NodeId left_nested = pool.add_binary(ExprKind::Multiply, sum, pool.add_number(3));
  EXPECT_EQ(expression_ast_nodes(pool, left_nested), 5u);
  EXPECT_EQ(pool.node(left_nested).left, sum);

  NodeId first = pool.add_number(1);
  NodeId two = pool.add_number(2);
  NodeId product = pool.add_binary(ExprKind::Multiply, two, pool.add_number(3));
  NodeId paren = pool.add_paren(product);
  NodeId grouped = pool.add_binary(ExprKind::Add, first, paren);
  EXPECT_EQ(expression_ast_nodes(pool, grouped), 6u);
  EXPECT_EQ(expression_ast_nodes(pool, paren), 4u);

  NodeId dice = pool.add_dice(4, 6, std::vector<DiceModifier>{{K::KeepHigh, 3}});
  NodeId commented = pool.add_commented(dice, std::string("attack"));
  EXPECT_EQ(expression_ast_nodes(pool, commented), 3u);
  EXPECT_EQ(pool.comment(pool.node(commented)), "attack");
  EXPECT_EQ(expression_ast_nodes(pool, left_nested), 5u);
}

struct DeepTreeResult {
  std::uint64_t chain_nodes = 0;
  std::uint64_t paren_nodes = 0;
  ExprKind chain_root_kind = ExprKind::Number;
};

constexpr int kChainOperators = 500'000;  // 1,000,001 nodes
constexpr int kParenDepth = 999'999;      // 1,000,000 nodes

void* build_count_destroy(void* out) {
  auto* result = static_cast<DeepTreeResult*>(out);
  {
    ExpressionPool chain;
    NodeId root = chain.add_number(1);
    for (int i = 0; i < kChainOperators; ++i) {
      root =
          chain.add_binary(i % 2 ? ExprKind::Subtract : ExprKind::Add, root, chain.add_number(i));
    }
    result->chain_nodes = expression_ast_nodes(chain, root);
    result->chain_root_kind = chain.node(root).kind;
  }
  {
    ExpressionPool nested;
    NodeId root = nested.add_number(7);
    for (int i = 0; i < kParenDepth; ++i) root = nested.add_paren(root);
    result->paren_nodes = expression_ast_nodes(nested, root);
  }
  return nullptr;
}

// A million-node left-nested chain, and a million-deep paren nest, are built, counted
// and destroyed on a thread with a 256 KiB stack: any recursion over the depth would
// overflow it many times over.
TEST(ExpressionNodes, MillionNodeTreesNeedNoStackDepth) {
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, 256 * 1024), 0);
  DeepTreeResult result;
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, &attr, &build_count_destroy, &result), 0);
  ASSERT_EQ(pthread_join(thread, nullptr), 0);
  pthread_attr_destroy(&attr);
  EXPECT_EQ(result.chain_nodes, 2u * kChainOperators + 1);
  EXPECT_EQ(result.chain_root_kind, ExprKind::Subtract);
  EXPECT_EQ(result.paren_nodes, static_cast<std::uint64_t>(kParenDepth) + 1);
}

}  // namespace
}  // namespace kavelo
