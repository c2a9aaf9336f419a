// Video ranking: the videos that best fit a query, scored from the payloads
// of the trie nodes that fuzzy node matching finds.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/index/search_index.hpp"

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

}  // namespace quillomar
