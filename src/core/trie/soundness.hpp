// The structural rules of a Trie, stated once. Construction reports the
// first rule that caller arrays break (ShapeError, construction_checks.hpp);
// a loaded index records whether it keeps them all (SearchIndex::sound());
// propagation and the unchecked walks REQUIRE them and only assert.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/trie/trie.hpp"

namespace quillomar {

// The first navigation rule a trie breaks, with N = t.node_count() and
// E = t.child_transitions.size().
struct ShapeFault {
  enum class Kind : uint8_t {
    kShiftCount,    // node_shifts.size() != N (`value`: that size)
    kPayloadCount,  // the payload count != N (`value`: that count)
    kChildRange,    // child_transitions[index] = value >= N
    kSlotRange,     // node_shifts[index] = value > E starts a non-empty range
  };
  Kind kind;
  size_t index = 0;
  uint64_t value = 0;
};

// The navigation rules, checked in this order: one shift per node, one
// payload per node (`payload_count` entries, which construction counts
// before it converts them), every slot naming a node below N, and every
// non-empty slot range ending within child_transitions. nullopt when all
// hold: then every node's range lies within child_transitions and every
// slot names a node, so nothing that navigates the trie leaves an array.
//
// A range [shift[v], shift[v+1]) is non-empty only when shift[v+1] exceeds
// shift[v], so requiring such a shift to be at most E bounds every range;
// the last node's range ends at E by definition.
std::optional<ShapeFault> FirstShapeFault(const Trie& t, size_t payload_count);

// True when every array a search, ranking or propagation reads is in range
// for every node it can reach: the navigation rules above with one payload
// entry per node, one terminal flag per node, and as many counts as ids in
// every payload. Arrays that construction accepts always pass; a decoded
// index may not, and is then read only through bounds checks.
bool IsSound(const Trie& t);

}  // namespace quillomar
