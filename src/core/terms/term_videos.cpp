#include "core/terms/term_videos.hpp"

#include <algorithm>
#include <string_view>

#include "core/codec/utf8.hpp"
#include "core/ranking/video_ranking.hpp"

namespace quillomar::terms {
namespace {

std::string_view TextOf(const TermVideo& v) {
  return {v.text.data(), v.text_size};
}

bool Better(const TermVideo& a, const TermVideo& b) {
  if (a.score != b.score) return a.score > b.score;
  return TextOf(a) < TextOf(b);
}

}  // namespace

std::vector<TermVideo> TermVideos(const SearchIndex& index,
                                  const TermTableView& table,
                                  std::span<const TermHit> hits,
                                  const TermVideoQuery& query) {
  const size_t terms = std::min(hits.size(), query.terms);
  // lists[starts[k], starts[k + 1]): hit k's videos, best first.
  std::vector<TermVideo> lists;
  std::vector<size_t> starts{0};
  std::vector<uint32_t> code_points;
  const VideoQuery options{0, query.per_term, false, query.min_score};
  for (size_t k = 0; k < terms; ++k) {
    const std::string_view text = table.text(hits[k].term);
    code_points.clear();
    const auto* p = reinterpret_cast<const uint8_t*>(text.data());
    const uint8_t* end = p + text.size();
    while (p < end) code_points.push_back(codec::NextCodePointLossy(p, end));
    for (const RankedVideo& r : RankVideos(index, code_points, options)) {
      TermVideo v{static_cast<uint32_t>(k), r.score, 0, {}};
      v.text_size = static_cast<uint8_t>(
          IdentifierText(index.trie(), r.video, v.text.data()));
      lists.push_back(v);
    }
    std::sort(lists.begin() + static_cast<std::ptrdiff_t>(starts.back()),
              lists.end(), Better);
    starts.push_back(lists.size());
  }
  std::vector<TermVideo> out;
  auto listed = [&](const TermVideo& v) {
    return std::any_of(out.begin(), out.end(), [&](const TermVideo& o) {
      return TextOf(o) == TextOf(v);
    });
  };
  for (size_t rank = 0;; ++rank) {
    bool any = false;
    for (size_t k = 0; k < terms; ++k) {
      if (starts[k] + rank >= starts[k + 1]) continue;
      any = true;
      const TermVideo& v = lists[starts[k] + rank];
      if (listed(v)) continue;
      if (query.limit && out.size() >= *query.limit) return out;
      out.push_back(v);
    }
    if (!any) return out;
  }
}

}  // namespace quillomar::terms
