// Arbitrary bytes -> Decode. Whatever decodes must re-encode to a fixed
// point, and every query on it must either answer or throw Panic; a sound
// index (see IsSound) must never panic.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <variant>
#include <vector>

#include "core/index/search_index.hpp"
#include "core/matcher/node_matching.hpp"
#include "core/matcher/term_matching.hpp"
#include "core/panic.hpp"
#include "core/ranking/video_ranking.hpp"
#include "core/trie/trie_codec.hpp"

namespace q = quillomar;

namespace {

std::vector<uint8_t> EncodeAll(const q::Trie& t) {
  std::vector<uint8_t> out(q::EncodedSize(t));
  q::Encode(t, out);
  return out;
}

// A stored index may hold any graph (shared or cyclic child slots), which
// the walks unfold into a tree: work grows like (slots per node)^(query
// length + bound). Small graphs get the full set of queries; larger ones
// only queries whose depth is bounded by 1, so one input stays cheap.
void Query(const q::SearchIndex& index) {
  static const std::vector<std::vector<uint32_t>> kQueries = {
      {}, {'a'}, {'a', 'b'}, {0x1F600, 'x'}};
  const bool small = index.trie().child_transitions.size() <= 24;
  for (const auto& query : kQueries) {
    for (uint32_t max_dist : {0u, 1u, 2u}) {
      if (!small && query.size() + max_dist > 1) continue;
      auto sink = [](uint32_t, std::span<const uint32_t>) {};
      q::FuzzyMatchTerms(index, query, max_dist, std::nullopt, sink);
      q::FuzzyMatchNodes(index, query, max_dist, false, 7);
      q::VideoQuery options;
      options.max_dist = max_dist;
      options.min_score = -1.0;
      q::RankVideos(index, query, options);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto decoded = q::Decode(std::span<const uint8_t>(data, size));
  if (!std::holds_alternative<q::Trie>(decoded)) return 0;
  q::Trie& trie = std::get<q::Trie>(decoded);

  const std::vector<uint8_t> first = EncodeAll(trie);
  auto again = q::Decode(first);
  if (!std::holds_alternative<q::Trie>(again)) std::abort();
  if (!(std::get<q::Trie>(again) == trie)) std::abort();
  if (EncodeAll(std::get<q::Trie>(again)) != first) std::abort();

  const q::SearchIndex index(std::move(trie));
  try {
    Query(index);
  } catch (const q::Panic&) {
    if (index.sound()) std::abort();
  }
  return 0;
}
