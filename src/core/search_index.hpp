// A loaded index: the Trie as built or decoded, plus what is derived from it
// once at load so that every query can rely on it.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "core/matcher/search_layout.hpp"
#include "core/trie/trie.hpp"

namespace quillomar {

class SearchIndex {
 public:
  explicit SearchIndex(Trie trie)
      : trie_(std::move(trie)), sound_(IsSound(trie_)) {
    if (sound_) label_terminal_ = DeriveLabelTerminal(trie_);
  }

  const Trie& trie() const { return trie_; }
  // When true, searches may read the arrays without bounds checks (see
  // IsSound). When false they run the checked twin of the same walk, which
  // raises Panic at the first read that would leave an array.
  bool sound() const { return sound_; }

  // Each node's label with its terminal flag in bit 31, derived at load
  // when the index is sound and child slot s always holds node s + 1; empty
  // otherwise (see search_layout.hpp). Lets the walk read one array.
  const std::vector<uint32_t>& label_terminal() const {
    return label_terminal_;
  }

 private:
  Trie trie_;
  bool sound_;
  std::vector<uint32_t> label_terminal_;
};

}  // namespace quillomar
