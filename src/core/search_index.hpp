// A loaded index: the Trie as built or decoded, plus what is derived from it
// once at load so that every query can rely on it.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "core/matcher/search_layout.hpp"
#include "core/trie/soundness.hpp"
#include "core/trie/trie.hpp"

namespace quillomar {

class SearchIndex {
 public:
  explicit SearchIndex(Trie trie)
      : trie_(std::move(trie)), sound_(IsSound(trie_)) {
    if (sound_) records_ = DeriveSearchRecords(trie_);
  }

  const Trie& trie() const { return trie_; }
  // When true, searches may read the arrays without bounds checks (see
  // IsSound). When false they run the checked twin of the same walk, which
  // raises Panic at the first read that would leave an array.
  bool sound() const { return sound_; }

  // One search record per node, derived at load when the index is sound
  // and has the breadth-first layout; empty otherwise (see
  // search_layout.hpp).
  const std::vector<SearchRecord>& records() const { return records_; }

 private:
  Trie trie_;
  bool sound_;
  std::vector<SearchRecord> records_;
};

}  // namespace quillomar
