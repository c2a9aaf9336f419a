// Terms that match a typed text word by word, in any order: candidates come
// from the term trie (term_sections.hpp), each then checked against every
// typed word (term_matching.hpp).
//
// Candidates are the terms that the term trie reaches with
//   * the whole typed text, within the text's budget (the text as a prefix
//     of a term's word-suffix: "machine lea", "openings for beg");
//   * the longest typed word (the pivot) within its own budget, and, while
//     fewer matches than the limit are found, each of its neighbour swaps
//     within one edit less.
// A match has to reach every typed word, so the pivot's candidates hold all
// matches that the trie's per-node lists keep (all of them when the lists
// are as long as the terms, and no limit is set).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/index/search_index.hpp"
#include "core/terms/term_matching.hpp"
#include "core/terms/term_table.hpp"

namespace quillomar::terms {

struct TermQuery {
  std::span<const TypedWord> words;  // REQUIRES: 1..kMaxTypedWords of them
  std::span<const uint32_t> text;    // the typed text, words joined by spaces
  uint32_t text_budget;
  uint32_t candidates;  // per trie search; 0 for no limit
  uint32_t limit;       // matches returned; 0 for no limit
};

struct TermHit {
  uint32_t term;
  uint32_t count;
  Match match;
};

// Matching terms: those found without edits first, then by count, largest
// first, then by term number. Term numbers the table does not hold are
// ignored. REQUIRES: `trie` is sound.
std::vector<TermHit> SearchTerms(const SearchIndex& trie,
                                 const TermTableView& table,
                                 const TermQuery& query);

}  // namespace quillomar::terms
