// Lays out the aggregated records as the construction arrays of a Trie,
// before propagation:
//
// * nodes are numbered breadth-first: the root is 0, then every node at
//   depth 1, then depth 2, and so on; within a depth the nodes come in code
//   point order of the prefixes they spell, so a node's children are
//   consecutive, every child is numbered after its parent and the child
//   slots are simply 1, 2, ..., N - 1 (IsBreadthFirst);
// * each term's node carries (total, video numbers, counts) with its videos
//   ordered by count, largest first, equal counts by video number (the
//   order in which videos were first counted); every other node has no
//   payload and is not terminal;
// * a term's total is the one set for it, else the sum of its counts,
//   saturated at 4294967295.
//
// The layout is a sort and passes over the sorted terms: no recursion over
// input-controlled depth.
#pragma once

#include <cstdint>

#include "core/build/aggregate.hpp"
#include "core/trie/trie.hpp"

namespace quillomar::build {

Trie LayOut(const Aggregate& records);

// LayOut, then the same top-N propagation that construction from arrays
// runs: the finished index.
Trie BuildTrie(const Aggregate& records, uint32_t top_n);

}  // namespace quillomar::build
