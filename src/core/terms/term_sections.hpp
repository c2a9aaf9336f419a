// What any-word matching and suggested searches need, built from the same
// records as the index and stored beside it:
//
// * the term trie: an ordinary encoded index whose texts are the
//   word-suffixes of every term ("guitar chords" gives "guitar chords" and
//   "chords") and whose "videos" are term numbers, each counted with the
//   term's total, so a node's list holds the most searched terms having a
//   word that begins there;
// * the term table (term_table.hpp): each term number's text and total.
#pragma once

#include <cstdint>
#include <vector>

#include "core/build/aggregate.hpp"

namespace quillomar::terms {

// Word starts of a term that begin a suffix, and words per suffix: a term
// of many words adds a bounded number of bounded texts.
inline constexpr uint32_t kMaxSuffixes = 16;
inline constexpr uint32_t kMaxSuffixWords = 8;

struct TermSections {
  std::vector<uint8_t> trie;   // an encoded index
  std::vector<uint8_t> table;  // an encoded term table
};

// REQUIRES: the aggregate's pairs are still held (not released).
TermSections BuildTermSections(const build::Aggregate& records, uint32_t top_n);

}  // namespace quillomar::terms
