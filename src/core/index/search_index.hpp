// A loaded index: the Trie as built or decoded, plus what is derived from it
// for the searches (the derived data lives beside this file).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "core/index/label_pairs.hpp"
#include "core/index/preorder_ranks.hpp"
#include "core/index/reversed_terms.hpp"
#include "core/index/search_records.hpp"
#include "core/trie/soundness.hpp"
#include "core/trie/trie.hpp"

namespace quillomar {

// What the forward-backward walk (matcher/forward_backward_walk.hpp) needs:
// where each node stands in walk order (unless that is the order of the
// terms' texts), the trie of the reversed terms, and both tries' nodes at
// depth two by their labels.
struct ForwardBackwardData {
  std::vector<uint32_t> ranks;  // empty when walk order is text order
  ReversedTerms reversed;
  LabelPairs forward_pairs;
  LabelPairs reversed_pairs;

  bool empty() const { return reversed.empty(); }
};

// The forward-backward data of t, whose search records are `records`; empty
// when a search cannot use it (see DerivePreorderRanks, DeriveReversedTerms).
// REQUIRES: records is DeriveSearchRecords(t) and not empty.
ForwardBackwardData DeriveForwardBackward(
    const Trie& t, const std::vector<SearchRecord>& records);

class SearchIndex {
 public:
  static constexpr bool kOwnsTrie = true;

  explicit SearchIndex(Trie trie)
      : trie_(std::move(trie)),
        sound_(IsSound(trie_)),
        forward_backward_(std::make_unique<LazyForwardBackward>()) {
    if (sound_) records_ = DeriveSearchRecords(trie_);
  }

  const Trie& trie() const { return trie_; }
  size_t node_count() const { return trie_.node_count(); }
  // When true, searches may read the arrays without bounds checks (see
  // IsSound). When false they run the checked twin of the same walk, which
  // raises Panic at the first read that would leave an array.
  bool sound() const { return sound_; }

  // One search record per node, derived at load when the index is sound
  // and breadth-first (IsBreadthFirst); empty otherwise (see
  // search_records.hpp).
  const std::vector<SearchRecord>& records() const { return records_; }

  // The index's own trie as the automaton walks read it.
  // REQUIRES: records() is not empty.
  RecordTrie record_trie() const {
    return {records_.data(), trie_.node_count(),
            static_cast<uint32_t>(trie_.child_transitions.size())};
  }

  // Derived on the first call, once (thread-safe), when the records exist;
  // null otherwise, or when some node is the child of two nodes, or when
  // there was no memory for it: the searches then walk the trie from its
  // root alone, with the same results.
  const ForwardBackwardData* forward_backward() const {
    std::call_once(forward_backward_->once, [this] {
      if (records_.empty()) return;
      try {
        forward_backward_->data = DeriveForwardBackward(trie_, records_);
      } catch (const std::bad_alloc&) {
      }
    });
    const ForwardBackwardData& d = forward_backward_->data;
    return d.empty() ? nullptr : &d;
  }

  // Bytes held by the derived data so far.
  size_t derived_bytes() const {
    const ForwardBackwardData& d = forward_backward_->data;
    return records_.capacity() * sizeof(SearchRecord) +
           d.ranks.capacity() * sizeof(uint32_t) + d.reversed.memory_bytes() +
           d.forward_pairs.memory_bytes() + d.reversed_pairs.memory_bytes();
  }

 private:
  struct LazyForwardBackward {
    std::once_flag once;
    ForwardBackwardData data;
  };

  Trie trie_;
  bool sound_;
  std::vector<SearchRecord> records_;
  std::unique_ptr<LazyForwardBackward> forward_backward_;
};

}  // namespace quillomar
