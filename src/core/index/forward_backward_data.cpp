#include "core/index/search_index.hpp"

namespace quillomar {

ForwardBackwardData DeriveForwardBackward(
    const Trie& t, const std::vector<SearchRecord>& records) {
  ForwardBackwardData d;
  d.ranks = DerivePreorderRanks(t, records);
  if (d.ranks.empty()) return {};
  d.reversed = DeriveReversedTerms(t, records, d.ranks);
  if (d.reversed.empty()) return {};
  if (WalkOrderIsTextOrder(t)) std::vector<uint32_t>().swap(d.ranks);
  d.forward_pairs =
      LabelPairs::Derive({records.data(), t.node_count(),
                          static_cast<uint32_t>(t.child_transitions.size())});
  d.reversed_pairs = LabelPairs::Derive(d.reversed.graph());
  return d;
}

}  // namespace quillomar
