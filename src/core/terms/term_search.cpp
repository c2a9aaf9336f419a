#include "core/terms/term_search.hpp"

#include <algorithm>
#include <array>

#include "core/ranking/video_ranking.hpp"

namespace quillomar::terms {
namespace {

// Appends the term numbers that the trie reaches with `text`.
void Reach(const SearchIndex& trie, std::span<const uint32_t> text, uint32_t budget,
           uint32_t candidates, std::vector<uint32_t>& out) {
  VideoQuery options;
  options.max_dist = budget;
  if (candidates != 0) options.limit = candidates;
  options.include_prefix_nodes = true;
  options.min_score = 0.0;
  const std::vector<uint32_t>& ids = trie.trie().int32_ids;
  for (const RankedVideo& r : RankVideos(trie, text, options)) out.push_back(ids[r.video]);
}

// The same with the text and each of its neighbour swaps (one edit less).
void ReachWithSwaps(const SearchIndex& trie, std::span<const uint32_t> text, uint32_t budget,
                    uint32_t candidates, std::vector<uint32_t>& out) {
  Reach(trie, text, budget, candidates, out);
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

std::vector<TermHit> SearchTerms(const SearchIndex& trie, const TermTableView& table,
                                 const TermQuery& query) {
  const size_t n = query.words.size();
  std::vector<uint32_t> found;
  if (n == 1) {
    ReachWithSwaps(trie, query.words[0].text, query.words[0].budget, query.candidates, found);
  } else {
    Reach(trie, query.text, query.text_budget, query.candidates, found);
    std::array<size_t, kMaxTypedWords> order;
    for (size_t i = 0; i < n; ++i) order[i] = i;
    std::stable_sort(order.begin(), order.begin() + n, [&](size_t a, size_t b) {
      return query.words[a].text.size() > query.words[b].text.size();
    });
    for (size_t p = 0; p < 2; ++p) {
      const TypedWord& w = query.words[order[p]];
      ReachWithSwaps(trie, w.text, w.budget, query.candidates, found);
    }
  }
  std::sort(found.begin(), found.end());
  found.erase(std::unique(found.begin(), found.end()), found.end());

  TermMatcher matcher(query.words);
  std::vector<TermHit> hits;
  for (uint32_t term : found) {
    if (term >= table.size()) continue;
    TermHit hit{term, table.count(term), {}};
    if (matcher.Match(table.text(term), hit.match)) hits.push_back(hit);
  }
  auto better = [](const TermHit& a, const TermHit& b) {
    if (a.match.corrected != b.match.corrected) return !a.match.corrected;
    if (a.count != b.count) return a.count > b.count;
    return a.term < b.term;
  };
  if (query.limit != 0 && hits.size() > query.limit) {
    std::partial_sort(hits.begin(), hits.begin() + query.limit, hits.end(), better);
    hits.resize(query.limit);
  } else {
    std::sort(hits.begin(), hits.end(), better);
  }
  return hits;
}

}  // namespace quillomar::terms
