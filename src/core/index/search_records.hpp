// A search-only view of the trie derived once at load.
//
// In the breadth-first layout (IsBreadthFirst, trie/breadth_first.hpp) the
// walk needs no child_transitions read, and what it needs of a node fits
// one 12-byte record, so scanning a node's children touches one run of
// memory:
//  - the label and terminal flag;
//  - the fewest and most labels from the node down to a term end (at the
//    node itself, or below it), which bound how much of the query a match
//    through this node can still consume;
//  - the letter buckets (code point mod 32) of every label below the node:
//    each bucket of the unread query that is missing there costs an edit;
//  - the node's first child slot.
// The label bounds and buckets let the walk drop a whole subtree as soon as no
// match can lie in it, without changing any result.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/trie/trie.hpp"

namespace quillomar {

struct SearchRecord {
  static constexpr uint32_t kLabelBits = 21;  // Unicode scalar values
  static constexpr uint32_t kLabelMask = (uint32_t{1} << kLabelBits) - 1;
  static constexpr uint32_t kRestCap = 31;  // "31 or more" labels
  static constexpr uint32_t kTerminalBit = uint32_t{1} << 31;

  // label | min_rest << 21 | max_rest << 26 | terminal << 31. When no term
  // ends at or below the node, min_rest is kRestCap and max_rest 0: the only
  // encoding with min_rest > max_rest.
  uint32_t word;
  // Bit LetterBucket(x) is set for the label x of every visible node below
  // this one (not the node's own label).
  uint32_t letters;
  // The node's first child slot (its children are nodes first + 1 ..): kept
  // with the rest so that going down a level waits for one memory read, not
  // two.
  uint32_t first;

  uint32_t label() const { return word & kLabelMask; }
  bool terminal() const { return (word & kTerminalBit) != 0; }
  uint32_t min_rest() const { return (word >> 21) & 31; }
  uint32_t max_rest() const { return (word >> 26) & 31; }
};
static_assert(sizeof(SearchRecord) == 12);

inline uint32_t LetterBucket(uint32_t cp) { return cp & 31; }

// A breadth-first trie as the searches read it: node v's
// children are nodes s + 1 for the slots s in [records[v].first, end), end
// being records[v + 1].first, or slot_count for the last node.
//
// No end exceeds slot_count, so with slot_count < node_count no child lies
// outside the records, whatever they hold: a walk over records read from a
// file stays in bounds. Such records need not form a tree, though; a walk
// that expands more than expansion_limit nodes has met one twice and stops
// (a tree's walk expands each node at most once).
struct RecordTrie {
  const SearchRecord* records;
  size_t node_count;
  uint32_t slot_count;
  uint64_t expansion_limit = UINT64_MAX;

  uint32_t SlotEnd(uint32_t v) const {
    return v + 1 < node_count ? std::min(records[v + 1].first, slot_count)
                              : slot_count;
  }
};

// Throws Panic: a walk expanded more nodes than its trie's expansion_limit.
[[noreturn]] void PanicRevisitedNode();

// The record of a node with edge label `label`, first child slot `first`,
// from the records of its children; hidden children (label 0) count for
// nothing.
SearchRecord ComposeRecord(uint32_t label, bool terminal, uint32_t first,
                           std::span<const SearchRecord> children);

// The record of every node, or an empty vector when the trie is not
// breadth-first (IsBreadthFirst). REQUIRES: IsSound(t).
std::vector<SearchRecord> DeriveSearchRecords(const Trie& t);

}  // namespace quillomar
