#include "core/terms/term_search.hpp"

#include <algorithm>
#include <array>

#include "core/ranking/video_ranking.hpp"

namespace quillomar::terms {
namespace {

// Appends the term numbers that the trie reaches with `text`.
void Reach(const SearchIndex& trie, std::span<const uint32_t> text,
           uint32_t budget, uint32_t candidates, std::vector<uint32_t>& out) {
  VideoQuery options;
  options.max_dist = budget;
  if (candidates != 0) options.limit = candidates;
  options.include_prefix_nodes = true;
  options.min_score = 0.0;
  const std::vector<uint32_t>& ids = trie.trie().int32_ids;
  for (const RankedVideo& r : RankVideos(trie, text, options))
    out.push_back(ids[r.video]);
}

// The same with each neighbour swap of the text, one edit less.
void ReachSwaps(const SearchIndex& trie, std::span<const uint32_t> text,
                uint32_t budget, uint32_t candidates,
                std::vector<uint32_t>& out) {
  if (budget == 0 || text.size() < 2 || text.size() > kMaxTypedWord) return;
  std::array<uint32_t, kMaxTypedWord> swapped;
  std::copy(text.begin(), text.end(), swapped.begin());
  const std::span<const uint32_t> view(swapped.data(), text.size());
  for (size_t k = 0; k + 1 < text.size(); ++k) {
    if (text[k] == text[k + 1]) continue;
    std::swap(swapped[k], swapped[k + 1]);
    Reach(trie, view, budget - 1, candidates, out);
    std::swap(swapped[k], swapped[k + 1]);
  }
}

}  // namespace

std::vector<TermHit> SearchTerms(const SearchIndex& trie,
                                 const TermTableView& table,
                                 const TermQuery& query) {
  const size_t n = query.words.size();
  // The pivot: the longest typed word (the first of equals).
  size_t pivot = 0;
  for (size_t i = 1; i < n; ++i) {
    if (query.words[i].text.size() > query.words[pivot].text.size()) pivot = i;
  }
  const TypedWord& w = query.words[pivot];
  std::vector<uint32_t> found;
  Reach(trie, w.text, w.budget, query.candidates, found);
  if (n > 1)
    Reach(trie, query.text, query.text_budget, query.candidates, found);

  TermMatcher matcher(query.words);
  std::vector<TermHit> hits;
  std::vector<uint32_t> seen;
  auto verify = [&] {
    std::sort(found.begin(), found.end());
    found.erase(std::unique(found.begin(), found.end()), found.end());
    for (uint32_t term : found) {
      if (term >= table.size() ||
          std::binary_search(seen.begin(), seen.end(), term))
        continue;
      TermHit hit{term, table.count(term), {}};
      if (matcher.Match(table.text(term), hit.match)) hits.push_back(hit);
    }
    seen.insert(seen.end(), found.begin(), found.end());
    std::sort(seen.begin(), seen.end());
    found.clear();
  };
  verify();
  // Neighbour swaps of the pivot reach further, at a cost of one search
  // each; they are tried when the plain searches leave room.
  if (query.limit == 0 || hits.size() < query.limit) {
    ReachSwaps(trie, w.text, w.budget, query.candidates, found);
    verify();
  }
  auto better = [](const TermHit& a, const TermHit& b) {
    if (a.match.corrected != b.match.corrected) return !a.match.corrected;
    if (a.count != b.count) return a.count > b.count;
    return a.term < b.term;
  };
  if (query.limit != 0 && hits.size() > query.limit) {
    std::partial_sort(hits.begin(), hits.begin() + query.limit, hits.end(),
                      better);
    hits.resize(query.limit);
  } else {
    std::sort(hits.begin(), hits.end(), better);
  }
  return hits;
}

}  // namespace quillomar::terms
