// The flat parse tree that a successful parse hands to the builders.
//
// All nodes live in one vector in pre-order: a node is followed by its whole subtree,
// and `next` is the index just past that subtree. The first child of node i is i + 1
// (when i + 1 < next); the sibling after child c is `nodes[c].next`. Offsets are 32-bit
// byte offsets into the source text, which the tree views and does not own.
#pragma once

#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "parser/kavelo/rule.hpp"

namespace kavelo::grammar {

using ParseNodeId = std::uint32_t;

struct ParseNode {
  std::uint32_t start = 0;  // byte offset where the match starts
  std::uint32_t end = 0;    // byte offset just past the match
  ParseNodeId next = 0;     // index just past this node's subtree
  Rule rule = Rule::Eoi;
};

class ParseTree {
 public:
  ParseTree() = default;
  ParseTree(std::string_view source, std::vector<ParseNode> nodes) noexcept
      : source_(source), nodes_(std::move(nodes)) {}

  [[nodiscard]] std::string_view source() const noexcept { return source_; }
  [[nodiscard]] const std::vector<ParseNode>& nodes() const noexcept { return nodes_; }
  [[nodiscard]] std::size_t size() const noexcept { return nodes_.size(); }

  [[nodiscard]] Rule rule(ParseNodeId id) const noexcept { return nodes_[id].rule; }
  [[nodiscard]] std::string_view text(ParseNodeId id) const noexcept {
    const ParseNode& n = nodes_[id];
    return source_.substr(n.start, n.end - n.start);
  }

  // Index past the last top-level node; top-level nodes start at 0 and follow `next`.
  [[nodiscard]] ParseNodeId end() const noexcept { return static_cast<ParseNodeId>(nodes_.size()); }

  // Children in text order: for (auto c = first_child(n); c != end_of_children(n); c =
  // next_sibling(c)).
  [[nodiscard]] ParseNodeId first_child(ParseNodeId id) const noexcept { return id + 1; }
  [[nodiscard]] ParseNodeId end_of_children(ParseNodeId id) const noexcept {
    return nodes_[id].next;
  }
  [[nodiscard]] ParseNodeId next_sibling(ParseNodeId id) const noexcept { return nodes_[id].next; }
  [[nodiscard]] bool has_children(ParseNodeId id) const noexcept {
    return id + 1 < nodes_[id].next;
  }
  [[nodiscard]] std::size_t child_count(ParseNodeId id) const noexcept {
    std::size_t n = 0;
    for (ParseNodeId c = first_child(id); c != end_of_children(id); c = next_sibling(c)) ++n;
    return n;
  }

 private:
  std::string_view source_;
  std::vector<ParseNode> nodes_;
};

}  // namespace kavelo::grammar
