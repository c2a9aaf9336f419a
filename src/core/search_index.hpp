// A loaded index: the Trie as built or decoded, plus what is derived from it
// once at load so that every query can rely on it.
#pragma once

#include <utility>

#include "core/trie/trie.hpp"

namespace quillomar {

class SearchIndex {
 public:
  explicit SearchIndex(Trie trie)
      : trie_(std::move(trie)), sound_(IsSound(trie_)) {}

  const Trie& trie() const { return trie_; }
  // When true, searches may read the arrays without bounds checks (see
  // IsSound). When false they run the checked twin of the same walk, which
  // raises Panic at the first read that would leave an array.
  bool sound() const { return sound_; }

 private:
  Trie trie_;
  bool sound_;
};

}  // namespace quillomar
