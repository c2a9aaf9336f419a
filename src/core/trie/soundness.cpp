#include "core/trie/soundness.hpp"

namespace quillomar {

std::optional<ShapeFault> FirstShapeFault(const Trie& t, size_t payload_count) {
  using Kind = ShapeFault::Kind;
  const size_t n = t.node_count();
  if (t.node_shifts.size() != n) {
    return ShapeFault{Kind::kShiftCount, 0, t.node_shifts.size()};
  }
  if (payload_count != n) {
    return ShapeFault{Kind::kPayloadCount, 0, payload_count};
  }
  const std::vector<uint32_t>& slots = t.child_transitions;
  for (size_t i = 0; i < slots.size(); ++i) {
    if (slots[i] >= n) return ShapeFault{Kind::kChildRange, i, slots[i]};
  }
  const size_t e = slots.size();
  for (size_t i = 1; i < n; ++i) {
    const uint32_t v = t.node_shifts[i];
    if (v > e && v > t.node_shifts[i - 1]) {
      return ShapeFault{Kind::kSlotRange, i, v};
    }
  }
  return std::nullopt;
}

bool IsSound(const Trie& t) {
  return t.is_terminal.size() == t.node_count() && t.payloads.lists_paired() &&
         !FirstShapeFault(t, t.payloads.size()).has_value();
}

}  // namespace quillomar
