// The forward-backward walk: the terms within bound k = 1 or 2 of the query,
// found from both ends of the query at once.
//
// Split the query q into a front q[0..h) and a back q[h..n), h = n / 2. An
// alignment of q with a term t within k edits passes the column h at some
// term position m, and then d(front, t[0..m)) + d(back, t[m..)) <= k, so
// the front is within k / 2 or the back within (k - 1) / 2: for k = 1 one
// half is exact, for k = 2 the front is within 1 or the back exact. Hence:
//  - forward: the nodes whose path lies within k / 2 of the front (the
//    topmost of each trie path, an "anchor") are found by a walk with that
//    small bound on the front alone; below each anchor the ordinary walk
//    goes on with the whole query and bound k;
//  - backward: the same on the trie of reversed terms with the reversed
//    query, whose front is the reversed back, and bound (k - 1) / 2.
// Every term within k lies below a forward or a backward anchor, and every
// term recorded there carries its exact distance, since it was reached by
// the ordinary rows of the whole query. The top levels of the trie, where a
// walk with bound k keeps nearly every node, are walked with bound 0 or 1.
//
// A term found both ways is recorded once, and the matches are put into the
// walk order of the index by their pre-order ranks before `limit` applies:
// the caller sees exactly what the walk from the root records.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <span>
#include <vector>

#include "core/index/preorder_ranks.hpp"
#include "core/matcher/automaton_walk.hpp"
#include "core/matcher/band_automaton.hpp"
#include "core/matcher/level_order_walk.hpp"
#include "core/matcher/query_masks.hpp"
#include "core/search_index.hpp"

namespace quillomar {

// The shortest query the walk takes. The split needs the front longer than
// the forward anchors' bound (k / 2) and the back longer than the backward
// anchors' bound ((k - 1) / 2), or the root would be an anchor; below four
// code points the walk from the root was measured faster at both bounds
// (bench/bench_walks.cpp).
inline constexpr size_t kForwardBackwardMinLength = 4;

// Whether the forward-backward walk takes this term search. Derives the
// reversed trie on the first call that needs it.
inline bool ForwardBackwardWalkFits(const SearchIndex& index, size_t n,
                                    uint32_t bound) {
  return (bound == 1 || bound == 2) && !index.records().empty() &&
         n >= kForwardBackwardMinLength && n <= QueryMasks::Capacity(bound) &&
         !index.two_way().empty();
}

namespace forward_backward {

// Runs one direction: anchors within kHalf of query[0..front), then the
// whole query below each. sink(node, distance, path) as for the walks, in
// no promised order. Working memory comes from `memory`.
template <uint32_t kBound, uint32_t kHalf, class Sink>
void FromAnchors(const RecordTrie& graph, std::span<const uint32_t> query,
                 size_t front, std::pmr::memory_resource* memory, Sink& sink) {
  const std::span<const uint32_t> head = query.first(front);
  std::pmr::vector<LevelStart> anchors(memory);
  std::pmr::vector<uint32_t> anchor_paths(memory);
  if constexpr (kHalf == 0) {
    // The nodes spelling the head, found by following its labels (several
    // when siblings share a label); every one's path is the head itself.
    std::pmr::vector<uint32_t> level(1, 0, memory);
    std::pmr::vector<uint32_t> next(memory);
    for (size_t d = 0; d < head.size() && !level.empty(); ++d) {
      next.clear();
      const uint32_t label = head[d];
      for (uint32_t v : level) {
        const uint32_t first = graph.records[v].first;
        const uint32_t end = graph.SlotEnd(v);
        for (uint32_t s = first; s < end; ++s) {
          if (graph.records[s + 1].label() == label && label != 0) {
            next.push_back(s + 1);
          }
        }
      }
      level.swap(next);
    }
    anchor_paths.assign(head.begin(), head.end());
    for (uint32_t v : level) {
      anchors.push_back({v, 0, 0, static_cast<uint32_t>(head.size())});
    }
  } else {
    const QueryMasks head_masks(head, kHalf);
    auto keep = [&](uint32_t node, uint32_t, std::span<const uint32_t> path) {
      anchors.push_back({node, 0, static_cast<uint32_t>(anchor_paths.size()),
                         static_cast<uint32_t>(path.size())});
      anchor_paths.insert(anchor_paths.end(), path.begin(), path.end());
    };
    const LevelStart root{0, BandAutomaton::kStart, 0, 0};
    LevelOrderWalk<kHalf, Recorded::kTopNodes>(
        graph, head, head_masks, std::span<const LevelStart>(&root, 1), {},
        memory, keep);
  }
  // Each anchor's row for the whole query at bound kBound; an anchor where
  // it is dead has no match below it.
  const QueryMasks masks(query, kBound);
  size_t live = 0;
  for (const LevelStart& a : anchors) {
    const std::span<const uint32_t> path(anchor_paths.data() + a.path_at,
                                         a.depth);
    const uint32_t state = StateAlong<kBound>(masks, path);
    if (state == BandAutomaton::kDead) continue;
    if (graph.records[a.node].terminal()) {
      const uint32_t d = StateDistance<kBound>(state, query.size(), a.depth);
      if (d <= kBound) sink(a.node, d, path);
    }
    anchors[live++] = {a.node, state, a.path_at, a.depth};
  }
  anchors.resize(live);
  LevelOrderWalk<kBound, Recorded::kTerms>(graph, query, masks, anchors,
                                           anchor_paths, memory, sink);
}

}  // namespace forward_backward

// REQUIRES: limit >= 1 and ForwardBackwardWalkFits(index, query.size(),
// kBound). Sink as for RowWalk; called in walk order.
template <uint32_t kBound, class Sink>
void ForwardBackwardWalk(const SearchIndex& index,
                         std::span<const uint32_t> query, uint64_t limit,
                         Sink& sink) {
  const TwoWayData& two_way = index.two_way();
  const uint32_t* const ranks = two_way.ranks.data();
  const size_t n = query.size();
  const size_t front = n / 2;

  struct Found {
    uint32_t rank;
    uint32_t node;
    uint32_t distance;
    uint32_t path_at;  // the term's labels: paths[path_at, path_at + length)
    uint32_t length;
  };
  // Every list below lives in this buffer on the stack unless a query
  // needs more (then the heap gives the rest): a typical search allocates
  // nothing.
  std::array<std::byte, 24 * 1024> buffer;
  std::pmr::monotonic_buffer_resource memory(buffer.data(), buffer.size());
  std::pmr::vector<Found> found(&memory);
  std::pmr::vector<uint32_t> paths(&memory);

  auto forward = [&](uint32_t node, uint32_t distance,
                     std::span<const uint32_t> path) {
    found.push_back({ranks[node], node, distance,
                     static_cast<uint32_t>(paths.size()),
                     static_cast<uint32_t>(path.size())});
    paths.insert(paths.end(), path.begin(), path.end());
  };
  forward_backward::FromAnchors<kBound, kBound / 2>(
      ForwardRecordTrie(index), query, front, &memory, forward);

  std::array<uint32_t, QueryMasks::Capacity(0)> backwards;
  std::reverse_copy(query.begin(), query.end(), backwards.begin());
  const ReversedTerms& reversed = two_way.reversed;
  auto backward = [&](uint32_t v, uint32_t distance,
                      std::span<const uint32_t> path) {
    reversed.ForEachTerm(v, [&](uint32_t node) {
      found.push_back({ranks[node], node, distance,
                       static_cast<uint32_t>(paths.size()),
                       static_cast<uint32_t>(path.size())});
      paths.insert(paths.end(), path.rbegin(), path.rend());
    });
  };
  forward_backward::FromAnchors<kBound, (kBound - 1) / 2>(
      reversed.graph(), std::span<const uint32_t>(backwards.data(), n),
      n - front, &memory, backward);

  std::sort(found.begin(), found.end(),
            [](const Found& a, const Found& b) { return a.rank < b.rank; });
  uint64_t recorded = 0;
  for (size_t i = 0; i < found.size(); ++i) {
    if (i > 0 && found[i].rank == found[i - 1].rank) continue;
    const Found& f = found[i];
    sink(f.node, f.distance,
         std::span<const uint32_t>(paths.data() + f.path_at, f.length));
    if (++recorded >= limit) return;
  }
}

}  // namespace quillomar
