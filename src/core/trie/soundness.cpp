#include "core/trie/trie.hpp"

namespace quillomar {

bool IsSound(const Trie& t) {
  const size_t n = t.node_count();
  const size_t e = t.child_transitions.size();
  if (t.node_shifts.size() != n || t.is_terminal.size() != n ||
      t.payloads.size() != n || !t.payloads.lists_paired()) {
    return false;
  }
  for (size_t v = 0; v < n; ++v) {
    const uint32_t start = t.node_shifts[v];
    const uint32_t end = SlotEnd(t, v);
    if (start < end && end > e) return false;
  }
  for (uint32_t c : t.child_transitions) {
    if (c >= n) return false;
  }
  return true;
}

}  // namespace quillomar
