#include "core/trie/breadth_first.hpp"

namespace quillomar {

bool IsBreadthFirst(const Trie& t) {
  const std::vector<uint32_t>& slots = t.child_transitions;
  for (size_t s = 0; s < slots.size(); ++s) {
    if (slots[s] != s + 1) return false;
  }
  // Children s + 1 > v for every slot s of node v: its range starts at v or
  // later (an empty range may start anywhere).
  for (size_t v = 0; v < t.node_count(); ++v) {
    const uint32_t start = t.node_shifts[v];
    if (start < SlotEnd(t, v) && start < v) return false;
  }
  return true;
}

}  // namespace quillomar
