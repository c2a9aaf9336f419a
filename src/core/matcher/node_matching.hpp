// Fuzzy node matching: the trie nodes whose whole path lies within the
// distance bound of the whole query, in walk order, with their distances.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/matcher/dispatch.hpp"

namespace quillomar {

struct NodeMatch {
  uint32_t node;
  uint32_t distance;  // at most min(max_dist, 65535)
};

// `terminal_only`: record only nodes where a term ends; otherwise every node
// within the bound. `limit`: nullopt for all, else the first `*limit` records
// in walk order (0 gives none). Never records the root or a node twice (on a
// tree-shaped index). Throws Panic on an index that is not sound at the
// first read that would leave an array.
template <class Index>
std::vector<NodeMatch> FuzzyMatchNodes(const Index& index,
                                       std::span<const uint32_t> query,
                                       uint32_t max_dist, bool terminal_only,
                                       std::optional<uint32_t> limit) {
  std::vector<NodeMatch> out;
  auto sink = [&out](uint32_t node, uint32_t distance,
                     std::span<const uint32_t>) {
    out.push_back({node, distance});
  };
  Walk(index, query, max_dist, terminal_only, limit, sink);
  return out;
}

}  // namespace quillomar
