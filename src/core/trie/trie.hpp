// The whole search index: a character trie stored as flat parallel arrays
// with 32-bit node indices, the video statistics of every node and the table
// that turns a video number into the video's external identifier.
//
// Navigation: node v's children sit in child slots
//   [node_shifts[v], end)   with end = node_shifts[v + 1] when v + 1 <
//                            node_shifts.size(), else child_transitions.size();
// a range that does not increase means "no children". The edge label into a
// child c is child_labels[c]; 0 means "no label" and hides c from searches.
//
// An index built from arrays keeps the structural rules of soundness.hpp;
// an index decoded from bytes is taken as stored and may break any of them,
// so readers must either check it once (IsSound) or read with bounds checks.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "core/payload/payload_table.hpp"

namespace quillomar {

// The kind of the identifiers: 16-byte UUIDs or 32-bit integers. The
// values are the ones a stored index holds.
enum class IdMode : uint8_t { kUuid = 0, kInt32 = 1 };

using Uuid = std::array<uint8_t, 16>;

struct Trie {
  std::vector<uint32_t> node_shifts;
  std::vector<uint32_t> child_labels;  // Unicode scalar values; 0 = no label
  std::vector<uint32_t> child_transitions;
  PayloadTable payloads;
  std::vector<Uuid> uuid_ids;
  std::vector<uint32_t> int32_ids;
  IdMode id_mode = IdMode::kUuid;
  std::vector<uint8_t> is_terminal;  // 0 or 1 per node

  // N, the node count, is by definition the number of labels.
  size_t node_count() const { return child_labels.size(); }

  friend bool operator==(const Trie&, const Trie&) = default;
};

// End (exclusive) of node v's child slot range.
// REQUIRES: v < t.node_shifts.size().
inline uint32_t SlotEnd(const Trie& t, size_t v) {
  return v + 1 < t.node_shifts.size()
             ? t.node_shifts[v + 1]
             : static_cast<uint32_t>(t.child_transitions.size());
}

}  // namespace quillomar
