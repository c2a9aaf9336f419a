// Fuzzy term matching: the indexed terms (terminal nodes) whose text lies
// within the distance bound of the query, in walk order.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "core/index/search_index.hpp"
#include "core/matcher/dispatch.hpp"

namespace quillomar {

// Calls sink(distance, path) once per matched term, in walk order; `path`
// holds the term's code points and is valid only during the call, so a
// caller builds the term's text only for the matches it is handed. (Which
// index node holds the term is not given: finding it can cost memory reads
// that a term search does not need. Node matching gives nodes.)
// `limit`: nullopt for all, else the first `*limit` matches (0 gives none).
// Throws Panic on an index that is not sound at the first read that would
// leave an array; whatever the sink throws passes through.
template <class Index, class Sink>
void FuzzyMatchTerms(const Index& index, std::span<const uint32_t> query,
                     uint32_t max_dist, std::optional<uint32_t> limit,
                     Sink& sink) {
  auto texts = [&sink](uint32_t, uint32_t distance,
                       std::span<const uint32_t> path) {
    sink(distance, path);
  };
  Walk</*kNodes=*/false>(index, query, max_dist, /*terminal_only=*/true, limit,
                         texts);
}

}  // namespace quillomar
