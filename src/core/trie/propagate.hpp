// Top-N propagation: folds every node's children's video statistics into the
// node, so that each node carries the best videos of its subtree and a total
// count covering it.
#pragma once

#include <cstdint>

#include "core/trie/trie.hpp"

namespace quillomar {

// Rewrites t.payloads so that every node v holds:
//   total_count: v's own total plus each child's total, saturating at
//                4294967295;
//   lists:       v's own entries plus each child's entries, counts of equal
//                video numbers summed in 64 bits, ordered by (sum
//                descending, video number ascending), each count saturated,
//                cut to the first top_n.
// Nodes are processed from N-1 down to 0, so a child numbered after its
// parent contributes its finished (folded and cut) statistics, while a child
// numbered before its parent contributes its payload as supplied. A slot
// holding the node itself is skipped; a child held in several of v's slots
// is folded once per slot. Labels are not looked at. Every node's list is
// combined and ordered before the cut, leaves included. Absent payloads count
// as empty ones; afterwards every payload is present. is_terminal is not
// touched.
//
// REQUIRES: t.payloads is sealed; FirstShapeFault(t, t.payloads.size()) is
// nullopt (soundness.hpp), and every payload has at least as many counts as
// ids. Arrays that construction accepts always satisfy this; the reads
// below trust it and only assert it.
void propagate(Trie& t, uint32_t top_n);

}  // namespace quillomar
