// A search-only view of the trie derived once at load.
//
// When every child slot s holds node s + 1 (the breadth-first layout in which
// each node's children are consecutive nodes right after the slots before
// them), the walk needs no child_transitions read at all, and a node's label
// and terminal flag can share one 32-bit word: the label (at most 21 bits)
// in the low bits, the flag in bit 31. Siblings' words are then adjacent, so
// examining a node's children touches one run of memory instead of three
// arrays. Costs 4 bytes per node.
#pragma once

#include <cstdint>
#include <vector>

#include "core/trie/trie.hpp"

namespace quillomar {

inline constexpr uint32_t kTerminalBit = uint32_t{1} << 31;

// The packed label-and-terminal word of every node, or an empty vector when
// the trie does not have the layout above. REQUIRES: IsSound(t).
std::vector<uint32_t> DeriveLabelTerminal(const Trie& t);

}  // namespace quillomar
