#include "core/matcher/search_layout.hpp"

namespace quillomar {

std::vector<uint32_t> DeriveLabelTerminal(const Trie& t) {
  const size_t n = t.node_count();
  const std::vector<uint32_t>& slots = t.child_transitions;
  for (size_t s = 0; s < slots.size(); ++s) {
    if (slots[s] != s + 1) return {};
  }
  std::vector<uint32_t> packed(n);
  for (size_t v = 0; v < n; ++v) {
    // Labels are Unicode scalar values, so bit 31 is free.
    packed[v] = (t.child_labels[v] & ~kTerminalBit) |
                (t.is_terminal[v] != 0 ? kTerminalBit : 0);
  }
  return packed;
}

}  // namespace quillomar
