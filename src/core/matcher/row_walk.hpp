// The row walk: the bounded edit-distance walk for any index and bound,
// one edit-distance row computed per examined node.
//
// Depth-first pre-order from the root: siblings in child-slot order, a node
// recorded before its subtree, a whole subtree finished before the next
// sibling. A child labelled 0 is skipped with its subtree; a child whose row
// minimum exceeds the bound is cut off with its subtree; a child whose
// distance (whole query against whole path) is within the bound is recorded
// when `terminal_only` is false or it ends a term.
//
// The walk keeps its own stack (no recursion), so neither a deep trie nor a
// long query can exhaust the C stack. Working memory is one label per level
// of the current path plus one row per node on it that still has children
// to examine; it grows as needed, never per visited node.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/index/search_index.hpp"
#include "core/matcher/edit_rows.hpp"
#include "core/matcher/trie_access.hpp"
#include "core/trie/trie.hpp"

namespace quillomar {

// A conservative membership test for the query's code points: Contains() is
// true for every code point of the query (and possibly for others).
class QueryLetters {
 public:
  explicit QueryLetters(std::span<const uint32_t> query) {
    for (uint32_t cp : query) bits_[(cp >> 6) & kMask] |= Bit(cp);
  }
  bool Contains(uint32_t cp) const {
    return (bits_[(cp >> 6) & kMask] & Bit(cp)) != 0;
  }

 private:
  static constexpr uint32_t kWords = 64;  // 4096 buckets
  static constexpr uint32_t kMask = kWords - 1;
  static uint64_t Bit(uint32_t cp) { return uint64_t{1} << (cp & 63); }
  uint64_t bits_[kWords] = {};
};

// What the walk hands to the sink for each recorded node: the node, its
// distance (within the bound) and the labels of its path from the root
// (path.back() is the node's own label).
//
// Sink: callable as sink(uint32_t node, uint32_t distance,
//                        std::span<const uint32_t> path).
// It may throw; the walk holds nothing that needs cleaning up by hand.
template <class Access, class Rows, class Index, class Sink>
void RowWalk(const Index& index, std::span<const uint32_t> query,
             uint32_t bound, bool terminal_only, uint64_t limit, Sink& sink) {
  // REQUIRES: limit >= 1 and index.node_count() > 0.
  const Access a(index);
  Rows rows(query, bound);
  const QueryLetters letters(query);

  // One frame per node whose children are still being examined. A node
  // whose last child is being entered has nothing left to do, so the child
  // takes over its frame (and its row slot): frames, and so rows, are kept
  // only for nodes with children still pending, and a long unbranched path
  // costs two rows, not one per level. Frame p's row lives in row slot p.
  struct Frame {
    uint32_t slot;  // next child slot to examine
    uint32_t end;   // end of the slot range
    size_t depth;   // depth of the frame's node
  };
  std::vector<Frame> stack;
  std::vector<uint32_t> path;  // path[d - 1] = label of the node at depth d
  uint64_t recorded = 0;
  uint64_t expanded = 0;

  {
    const uint32_t start = a.Shift(0);
    const uint32_t end = a.SlotEnd(0);
    if (start >= end) return;
    stack.push_back({start, end, 0});
  }
  while (!stack.empty()) {
    const size_t p = stack.size() - 1;
    Frame f = stack[p];
    const size_t d = f.depth;
    // With the parent's minimum already at the bound, a label missing from
    // the query costs one more in every cell: the child's row minimum would
    // exceed the bound, so its row need not be computed.
    const bool tight = rows.Min(p) == bound;
    bool entered = false;
    while (f.slot < f.end) {
      const uint32_t c = a.Child(f.slot++);
      const uint32_t label = a.Label(c);
      if (label == 0) continue;
      if (tight && !letters.Contains(label)) continue;
      const bool last = f.slot >= f.end;
      // The last child overwrites its parent's row, which nothing needs any
      // more; an earlier child's row goes into the next slot.
      const RowStep step = rows.Advance(p, last ? p : p + 1, d + 1, label);
      if (step.min > bound) continue;
      if (path.size() <= d) path.resize(d + 1);
      path[d] = label;
      if (step.distance <= bound && (!terminal_only || a.Terminal(c))) {
        sink(c, step.distance, std::span<const uint32_t>(path.data(), d + 1));
        if (++recorded >= limit) return;
      }
      const uint32_t start = a.Shift(c);
      const uint32_t end = a.SlotEnd(c);
      if (start >= end) continue;
      if (++expanded > a.ExpansionLimit()) PanicRevisitedNode();
      if (last) {
        stack[p] = {start, end, d + 1};
      } else {
        stack[p].slot = f.slot;
        stack.push_back({start, end, d + 1});
      }
      entered = true;
      break;
    }
    if (!entered) stack.pop_back();
  }
}

}  // namespace quillomar
