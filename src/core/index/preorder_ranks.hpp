// Each node's position in the searches' depth-first pre-order (siblings in
// child-slot order, a node before its subtree), counted over the nodes a
// search can reach: a node hidden by a label 0 on its path has no rank.
// Matches found out of order are put back into walk order by sorting their
// ranks.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/index/search_records.hpp"
#include "core/trie/trie.hpp"

namespace quillomar {

inline constexpr uint32_t kHiddenRank = UINT32_MAX;

// Whether every node's visible children come in strictly increasing label
// order (as this package's builders write them). Then the walk order of the
// terms is the order of their texts, code point by code point with a
// prefix first, and no two nodes spell the same text: the ranks are not
// needed to put matches back in walk order.
bool WalkOrderIsTextOrder(const Trie& t);

// The ranks, or an empty vector when some node is the child of two nodes.
// REQUIRES: `records` is DeriveSearchRecords(t) and not empty (so
// IsBreadthFirst(t): every child comes after its parent).
std::vector<uint32_t> DerivePreorderRanks(
    const Trie& t, std::span<const SearchRecord> records);

}  // namespace quillomar
