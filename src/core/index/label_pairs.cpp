#include "core/index/label_pairs.hpp"

#include <algorithm>
#include <bit>

namespace quillomar {

LabelPairs LabelPairs::Derive(const RecordTrie& g) {
  if (g.node_count == 0) return {};
  const SearchRecord* const rec = g.records;
  size_t count = 0;
  for (uint32_t s = rec[0].first; s < g.SlotEnd(0); ++s) {
    const uint32_t c = s + 1;
    if (rec[c].label() != 0) count += g.SlotEnd(c) - rec[c].first;
  }
  if (count == 0) return {};
  LabelPairs t;
  // At most half full, so that a probe for a missing pair ends soon.
  const size_t capacity = std::bit_ceil(std::max<size_t>(2 * count, 16));
  t.own_.assign(capacity, Entry{kEmpty, kNoNode});
  t.slots_ = t.own_;
  t.node_count_ = g.node_count;
  t.SetShape();
  for (uint32_t s = rec[0].first; s < g.SlotEnd(0); ++s) {
    const uint32_t c = s + 1;
    const uint32_t a = rec[c].label();
    if (a == 0) continue;  // hidden, with its subtree
    for (uint32_t u = rec[c].first; u < g.SlotEnd(c); ++u) {
      const uint32_t b = rec[u + 1].label();
      if (b == 0) continue;
      const uint64_t key = Key(a, b);
      size_t at = t.Slot(key);
      for (; t.own_[at].key != kEmpty; at = (at + 1) & t.mask_) {
        if (t.own_[at].key == key) return {};  // spelt twice
      }
      t.own_[at] = {key, u + 1};
    }
  }
  return t;
}

}  // namespace quillomar
