// The videos that matched terms lead to, listed as the search box shows
// them after what the text reaches from the start of terms: each term's
// own node's ranked videos (the node that spells the term, without edits,
// as a whole term), the first terms' best videos first, then each one's
// second, and so on; a video already listed is left out.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/index/search_index.hpp"
#include "core/ranking/identifier_text.hpp"
#include "core/terms/term_search.hpp"
#include "core/terms/term_table.hpp"

namespace quillomar::terms {

struct TermVideo {
  uint32_t hit;  // the hit (an index into the hits given) it comes from
  double score;  // its share of its term's node, as the index ranks it
  uint8_t text_size;
  std::array<char, kMaxIdentifierText> text;  // the identifier text
};

struct TermVideoQuery {
  std::optional<uint32_t> per_term;  // videos per term; nullopt: all
  double min_score;
  size_t terms;                 // hits whose videos are listed, at most
  std::optional<size_t> limit;  // rows returned, at most
};

// The rows for `hits` (term numbers of `table`, which numbers the terms of
// `index`). Within a term, videos are ordered by score, best first, then
// by identifier text. A term the index does not spell adds nothing.
// REQUIRES: every hit's term is in `table`.
std::vector<TermVideo> TermVideos(const SearchIndex& index,
                                  const TermTableView& table,
                                  std::span<const TermHit> hits,
                                  const TermVideoQuery& query);

}  // namespace quillomar::terms
