// Video ranking: the videos that best fit a query, scored from the payloads
// of the trie nodes that fuzzy node matching finds.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/index/search_index.hpp"
#include "core/matcher/node_matching.hpp"
#include "core/memory/id_map.hpp"
#include "core/ranking/weights.hpp"

namespace quillomar {

struct RankedVideo {
  uint32_t video;  // a video number with an entry in the identifier table
  double score;
};

struct VideoQuery {
  uint32_t max_dist = 1;
  std::optional<uint32_t> limit;             // nullopt: no limit
  std::optional<bool> include_prefix_nodes;  // nullopt: terminals, else all
  std::optional<double> min_score;           // nullopt: kDefaultMinScore
};

// The ranked videos, best first; equal scores by video number ascending, and
// a limit keeps the first `*limit` of that order. Rows whose video number has
// no identifier are dropped after the cut (the list may come out shorter
// than the limit). Throws Panic on an index that is not sound at the first
// read that would leave an array.
std::vector<RankedVideo> RankVideos(const SearchIndex& index,
                                    std::span<const uint32_t> query,
                                    const VideoQuery& options);

namespace ranking {

template <class Index>
std::vector<NodeMatch> CollectNodes(const Index& index,
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
inline bool Better(const RankedVideo& a, const RankedVideo& b) {
  if (a.score != b.score) return a.score > b.score;
  return a.video < b.video;
}

// Adds every matched node's weighted payload into `table` and returns the
// weighted total mass. Reads: how a node's terminal flag and payload are
// read, with the checks its index needs, in this order: Terminal(v),
// Present(v), TotalCount(v), VideoIds(v), VideoCounts(v, ids) (at least as
// many counts as ids).
template <class Reads>
double Accumulate(const Reads& reads, std::span<const NodeMatch> nodes,
                  uint64_t length, memory::IdMap<double>& table) {
  double total = 0.0;
  for (const NodeMatch& m : nodes) {
    double w = MatchWeight(m.distance, length);
    if (m.distance != 0 && !(w > 0.0)) continue;
    if (!reads.Terminal(m.node)) w = w * kPrefixFactor;
    if (!reads.Present(m.node)) continue;
    total = total + static_cast<double>(reads.TotalCount(m.node)) * w;
    const std::span<const uint32_t> ids = reads.VideoIds(m.node);
    const std::span<const uint32_t> counts = reads.VideoCounts(m.node, ids);
    for (size_t i = 0; i < ids.size(); ++i) {
      double& mass = table[ids[i]];
      mass = mass + static_cast<double>(counts[i]) * w;
    }
  }
  return total;
}

// The whole ranking over any index, reading payloads through `reads`;
// `id_count` is the length of the identifier table in use.
template <class Index, class Reads>
std::vector<RankedVideo> RankWith(const Index& index, const Reads& reads,
                                  size_t id_count,
                                  std::span<const uint32_t> query,
                                  const VideoQuery& options) {
  const std::vector<NodeMatch> nodes = CollectNodes(index, query, options);
  memory::IdMap<double> table;  // video number -> mass
  const double total = Accumulate(reads, nodes, query.size(), table);
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
  std::erase_if(scored,
                [&](const RankedVideo& r) { return r.video >= id_count; });
  return scored;
}

}  // namespace ranking
}  // namespace quillomar
