#include "core/matcher/node_matching.hpp"

#include "core/matcher/dispatch.hpp"

namespace quillomar {

std::vector<NodeMatch> FuzzyMatchNodes(const SearchIndex& index,
                                       std::span<const uint32_t> query,
                                       uint32_t max_dist, bool terminal_only,
                                       std::optional<uint32_t> limit) {
  std::vector<NodeMatch> out;
  auto sink = [&out](uint32_t node, uint32_t distance,
                     std::span<const uint32_t>) {
    out.push_back({node, distance});
  };
  Walk(index, query, max_dist, terminal_only, limit, sink);
  return out;
}

}  // namespace quillomar
