#include "core/ranking/video_ranking.hpp"

#include <algorithm>

#include "core/matcher/node_matching.hpp"
#include "core/memory/id_map.hpp"
#include "core/panic.hpp"
#include "core/ranking/weights.hpp"

namespace quillomar {
namespace {

std::vector<NodeMatch> CollectNodes(const SearchIndex& index,
                                    std::span<const uint32_t> query,
                                    const VideoQuery& options) {
  if (options.include_prefix_nodes.has_value()) {
    return FuzzyMatchNodes(index, query, options.max_dist,
                           /*terminal_only=*/!*options.include_prefix_nodes,
                           std::nullopt);
  }
  std::vector<NodeMatch> nodes = FuzzyMatchNodes(
      index, query, options.max_dist, /*terminal_only=*/true, std::nullopt);
  if (nodes.empty()) {
    nodes = FuzzyMatchNodes(index, query, options.max_dist,
                            /*terminal_only=*/false, std::nullopt);
  }
  return nodes;
}

// Best first; equal scores by video number, so the order is total and a
// limit cut is the same on every call.
bool Better(const RankedVideo& a, const RankedVideo& b) {
  if (a.score != b.score) return a.score > b.score;
  return a.video < b.video;
}

// Adds every matched node's weighted payload into `table` and returns the
// weighted total mass. kSound: the index keeps every structural rule
// (SearchIndex::sound()), so the matched node has a terminal flag and a
// payload and every payload as many counts as ids; otherwise each of those
// reads is checked and a broken index raises Panic at the first one that
// would leave an array.
template <bool kSound>
double Accumulate(const Trie& t, std::span<const NodeMatch> nodes,
                  uint64_t length, memory::IdMap<double>& table) {
  double total = 0.0;
  for (const NodeMatch& m : nodes) {
    double w = MatchWeight(m.distance, length);
    if (m.distance != 0 && !(w > 0.0)) continue;
    const bool terminal =
        kSound ? t.is_terminal[m.node] != 0 : CheckedAt(t.is_terminal, m.node);
    if (!terminal) w = w * kPrefixFactor;
    if (!kSound && m.node >= t.payloads.size()) {
      PanicIndexOutOfBounds(t.payloads.size(), m.node);
    }
    if (!t.payloads.present(m.node)) continue;
    total = total + static_cast<double>(t.payloads.total_count(m.node)) * w;
    const std::span<const uint32_t> ids = t.payloads.video_ids(m.node);
    const std::span<const uint32_t> counts = t.payloads.video_counts(m.node);
    if (!kSound && counts.size() < ids.size()) {
      PanicIndexOutOfBounds(counts.size(), counts.size());
    }
    for (size_t i = 0; i < ids.size(); ++i) {
      double& mass = table[ids[i]];
      mass = mass + static_cast<double>(counts[i]) * w;
    }
  }
  return total;
}

}  // namespace

std::vector<RankedVideo> RankVideos(const SearchIndex& index,
                                    std::span<const uint32_t> query,
                                    const VideoQuery& options) {
  const Trie& t = index.trie();
  const std::vector<NodeMatch> nodes = CollectNodes(index, query, options);
  const uint64_t length = query.size();

  memory::IdMap<double> table;  // video number -> mass
  const double total = index.sound()
                           ? Accumulate<true>(t, nodes, length, table)
                           : Accumulate<false>(t, nodes, length, table);
  if (total <= 0.0) return {};

  const double min_score = options.min_score.value_or(kDefaultMinScore);
  std::vector<RankedVideo> scored;
  scored.reserve(table.size());
  table.ForEach([&](uint32_t video, double mass) {
    const double score = mass / total;
    if (score >= min_score) scored.push_back({video, score});
  });

  if (options.limit.has_value() && scored.size() > *options.limit) {
    const auto cut = scored.begin() + *options.limit;
    std::nth_element(scored.begin(), cut, scored.end(), Better);
    scored.erase(cut, scored.end());
  }
  std::sort(scored.begin(), scored.end(), Better);

  const size_t table_size =
      t.id_mode == IdMode::kInt32 ? t.int32_ids.size() : t.uuid_ids.size();
  std::erase_if(scored,
                [&](const RankedVideo& r) { return r.video >= table_size; });
  return scored;
}

}  // namespace quillomar
