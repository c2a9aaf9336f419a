#include "core/index/preorder_ranks.hpp"

namespace quillomar {

bool WalkOrderIsTextOrder(const Trie& t) {
  for (size_t v = 0; v < t.node_count(); ++v) {
    const uint32_t end = SlotEnd(t, v);
    uint32_t last = 0;  // hidden children (label 0) sort first, unseen
    for (uint32_t s = t.node_shifts[v]; s < end; ++s) {
      // Compared as the search records hold them.
      const uint32_t label =
          t.child_labels[t.child_transitions[s]] & SearchRecord::kLabelMask;
      if (label == 0) continue;
      if (label <= last) return false;
      last = label;
    }
  }
  return true;
}

std::vector<uint32_t> DerivePreorderRanks(
    const Trie& t, std::span<const SearchRecord> records) {
  const size_t n = records.size();
  // The layout alone lets two nodes' slot ranges overlap, which makes a
  // child shared by two parents: a walk then meets it twice, and a rank
  // cannot stand for it. Only a tree gets ranks.
  {
    std::vector<bool> claimed(n, false);
    for (size_t v = 0; v < n; ++v) {
      const uint32_t end = SlotEnd(t, v);
      for (uint32_t s = t.node_shifts[v]; s < end; ++s) {
        if (claimed[s + 1]) return {};
        claimed[s + 1] = true;
      }
    }
  }
  // Visible subtree sizes, children (which come after their parents)
  // first; a hidden node counts 0 with everything below it.
  std::vector<uint32_t> size(n, 1);
  for (size_t v = n; v-- > 1;) {
    if (records[v].label() == 0) size[v] = 0;
  }
  for (size_t v = n; v-- > 0;) {
    if (size[v] == 0) continue;
    const uint32_t first = t.node_shifts[v];
    const uint32_t end = SlotEnd(t, v);
    for (uint32_t s = first; s < end; ++s) size[v] += size[s + 1];
  }
  // Then down: a child's rank follows its parent's and the subtrees of its
  // earlier siblings.
  std::vector<uint32_t> rank(n, kHiddenRank);
  rank[0] = 0;
  for (size_t v = 0; v < n; ++v) {
    if (rank[v] == kHiddenRank) continue;
    const uint32_t first = t.node_shifts[v];
    const uint32_t end = SlotEnd(t, v);
    uint32_t next = rank[v] + 1;
    for (uint32_t s = first; s < end; ++s) {
      const uint32_t c = s + 1;
      if (size[c] == 0) continue;
      rank[c] = next;
      next += size[c];
    }
  }
  return rank;
}

}  // namespace quillomar
