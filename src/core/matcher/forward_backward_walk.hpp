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
// Most of a search's time is spent waiting for children lists that are not
// in the cache, so both directions walk level by level (level_order_walk.
// hpp) and take turns, and an exact front starts two levels down through
// the table of depth-two nodes (index/label_pairs.hpp).
//
// A term found both ways is recorded once, and the matches are put into the
// walk order of the index (by their texts when children come in label
// order, else by their pre-order ranks) before `limit` applies: the caller
// sees exactly what the walk from the root records. In text order a term
// found from its end is mapped back to its index node only when it is
// recorded and the caller wants nodes: those are two dependent reads, most
// often cache misses, that a search for texts alone never waits for.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <optional>
#include <span>
#include <vector>

#include "core/index/label_pairs.hpp"
#include "core/index/preorder_ranks.hpp"
#include "core/index/reversed_terms.hpp"
#include "core/matcher/automaton_walk.hpp"
#include "core/matcher/band_automaton.hpp"
#include "core/matcher/level_order_walk.hpp"
#include "core/matcher/query_masks.hpp"

namespace quillomar {

// The shortest query the walk takes. The split needs the front longer than
// the forward anchors' bound (k / 2) and the back longer than the backward
// anchors' bound ((k - 1) / 2), or the root would be an anchor; below four
// code points the walk from the root was measured faster at both bounds
// (bench/bench_walks.cpp).
inline constexpr size_t kForwardBackwardMinLength = 4;

// Whether the forward-backward walk can take a term search of n code
// points at `bound`, given its data (the index's forward_backward(), which
// needs the records).
template <class Index>
bool ForwardBackwardWalkFits(const Index& index, size_t n, uint32_t bound) {
  return (bound == 1 || bound == 2) && !index.records().empty() &&
         n >= kForwardBackwardMinLength && n <= QueryMasks::Capacity(bound);
}

namespace forward_backward {

// One direction of the walk: the anchors, the topmost nodes within kHalf of
// query[0..front), found by a walk with that bound over the front alone
// (for kHalf = 0, the nodes spelling it); then the whole query at bound
// kBound below them. Runs a round at a time so that both directions can
// take turns.
template <uint32_t kBound, uint32_t kHalf>
class Direction {
 public:
  // REQUIRES: 2 <= front < query.size() <= QueryMasks::Capacity(kBound);
  // query, pairs and memory outlive this. `pairs`, when not null or empty,
  // is the table of graph's depth-two nodes.
  Direction(const RecordTrie& graph, std::span<const uint32_t> query,
            size_t front, const LabelPairs* pairs,
            std::pmr::memory_resource* memory)
      : graph_(graph),
        query_(query),
        memory_(memory),
        head_masks_(HeadMasks(query.first(front))),
        masks_(query, kBound),
        anchors_(memory),
        anchor_paths_(memory),
        find_(graph_, query.first(front), head_masks_ ? &*head_masks_ : nullptr,
              FirstStarts(query.first(front), pairs), query.first(front),
              memory) {}

  // One round; sink(node, distance, path) as for the walks, in no promised
  // order. Returns whether there is more to do.
  template <class Sink>
  bool Step(Sink& sink) {
    if (below_) return below_->Round(sink);
    auto keep = [&](uint32_t node, uint32_t, std::span<const uint32_t> path) {
      AddAnchor(node, path);
    };
    if (find_.Round(keep)) return true;
    // Each anchor's row for the whole query at bound kBound; an anchor where
    // it is dead has no match below it.
    size_t live = 0;
    for (const LevelStart& a : anchors_) {
      const std::span<const uint32_t> path(anchor_paths_.data() + a.path_at,
                                           a.depth);
      const uint32_t state = StateAlong<kBound>(masks_, path);
      if (state == BandAutomaton::kDead) continue;
      if (graph_.records[a.node].terminal()) {
        const uint32_t d = StateDistance<kBound>(state, query_.size(), a.depth);
        if (d <= kBound) sink(a.node, d, path);
      }
      anchors_[live++] = {a.node, state, a.path_at, a.depth};
    }
    anchors_.resize(live);
    below_.emplace(graph_, query_, &masks_, anchors_, anchor_paths_, memory_);
    return !anchors_.empty();
  }

 private:
  const RecordTrie graph_;
  const std::span<const uint32_t> query_;
  std::pmr::memory_resource* const memory_;
  // The front's masks; none for an exact front, whose walk compares labels.
  const std::optional<QueryMasks> head_masks_;
  const QueryMasks masks_;
  std::pmr::vector<LevelStart> anchors_;
  std::pmr::vector<uint32_t> anchor_paths_;
  void AddAnchor(uint32_t node, std::span<const uint32_t> path) {
    anchors_.push_back({node, 0, static_cast<uint32_t>(anchor_paths_.size()),
                        static_cast<uint32_t>(path.size())});
    anchor_paths_.insert(anchor_paths_.end(), path.begin(), path.end());
  }

  static std::optional<QueryMasks> HeadMasks(std::span<const uint32_t> head) {
    if constexpr (kHalf == 0) {
      return std::nullopt;
    } else {
      return std::optional<QueryMasks>(std::in_place, head, kHalf);
    }
  }

  // Where the anchors are looked for: the root, or for an exact front the
  // node spelling its first two labels (none when nothing does).
  std::span<const LevelStart> FirstStarts(std::span<const uint32_t> head,
                                          const LabelPairs* pairs) {
    if (kHalf != 0 || pairs == nullptr || pairs->empty()) {
      start_ = {0, BandAutomaton::kStart, 0, 0};
      return {&start_, 1};
    }
    const uint32_t v = pairs->Find(head[0], head[1]);
    if (v == LabelPairs::kNoNode) return {};
    if (head.size() == 2) {  // v is the anchor itself
      AddAnchor(v, head);
      return {};
    }
    start_ = {v, ExactPrefixState(2), 0, 2};
    return {&start_, 1};
  }

  LevelStart start_;
  LevelOrderWalk<kHalf, Recorded::kTopNodes> find_;
  std::optional<LevelOrderWalk<kBound, Recorded::kTerms>> below_;
};

}  // namespace forward_backward

// The node a sink is given for a match when it asked for none (kNodes
// false) and the walk did not need it either.
inline constexpr uint32_t kUnnamedNode = UINT32_MAX;

// REQUIRES: limit >= 1, ForwardBackwardWalkFits(index, query.size(),
// kBound) and `data` is index.forward_backward(). Sink as for RowWalk; called
// in walk order. With kNodes false the sink must not read the node, which may
// be kUnnamedNode.
template <uint32_t kBound, bool kNodes, class Index, class Data, class Sink>
void ForwardBackwardWalk(const Index& index, const Data& data,
                         std::span<const uint32_t> query, uint64_t limit,
                         Sink& sink) {
  const uint32_t* const ranks = data.ranks.data();
  const size_t n = query.size();
  const size_t front = n / 2;

  struct Found {
    uint32_t rank;
    uint32_t node;  // the index node; the reversed node when `reversed`
    uint32_t distance;
    uint32_t path_at;  // the term's labels: paths[path_at, path_at + length)
    uint32_t length : 31;
    uint32_t reversed : 1;
  };
  // Every list below lives in this buffer on the stack unless a query
  // needs more (then the heap gives the rest): a typical search allocates
  // nothing.
  std::array<std::byte, 24 * 1024> buffer;
  std::pmr::monotonic_buffer_resource memory(buffer.data(), buffer.size());
  std::pmr::vector<Found> found(&memory);
  std::pmr::vector<uint32_t> paths(&memory);

  // Without ranks, walk order is text order (see ForwardBackwardData).
  const bool by_text = data.ranks.empty();
  auto rank_of = [&](uint32_t node) { return by_text ? 0 : ranks[node]; };
  auto forward = [&](uint32_t node, uint32_t distance,
                     std::span<const uint32_t> path) {
    found.push_back({rank_of(node), node, distance,
                     static_cast<uint32_t>(paths.size()),
                     static_cast<uint32_t>(path.size()), 0});
    paths.insert(paths.end(), path.begin(), path.end());
  };
  std::array<uint32_t, QueryMasks::Capacity(0)> backwards;
  std::reverse_copy(query.begin(), query.end(), backwards.begin());
  const ReversedTerms& reversed = data.reversed;
  auto backward = [&](uint32_t v, uint32_t distance,
                      std::span<const uint32_t> path) {
    const uint32_t path_at = static_cast<uint32_t>(paths.size());
    paths.insert(paths.end(), path.rbegin(), path.rend());
    const uint32_t length = static_cast<uint32_t>(path.size());
    if (by_text) {  // one index node spells it; which one can wait
      found.push_back({0, v, distance, path_at, length, 1});
      return;
    }
    reversed.ForEachTerm(v, [&](uint32_t node) {
      found.push_back({ranks[node], node, distance, path_at, length, 0});
    });
  };
  // At k = 1 the two directions take turns, a level each, so that the
  // memory reads one starts are under way while the other works.
  forward_backward::Direction<kBound, kBound / 2> ahead(
      index.record_trie(), query, front, &data.forward_pairs, &memory);
  forward_backward::Direction<kBound, (kBound - 1) / 2> behind(
      reversed.graph(), std::span<const uint32_t>(backwards.data(), n),
      n - front, &data.reversed_pairs, &memory);
  if constexpr (kBound == 2) {
    // Here the forward anchor walk (bound 1 from the root) is bound by
    // work on lists that stay cached, not by memory, and taking turns only
    // mixes the two directions' data: one after the other measured 1-4%
    // faster.
    while (ahead.Step(forward)) {
    }
    while (behind.Step(backward)) {
    }
  } else {
    for (bool more_ahead = true, more_behind = true;
         more_ahead || more_behind;) {
      if (more_ahead) more_ahead = ahead.Step(forward);
      if (more_behind) more_behind = behind.Step(backward);
    }
  }

  auto text = [&](const Found& f) {
    return std::span<const uint32_t>(paths.data() + f.path_at, f.length);
  };
  if (by_text) {
    std::sort(found.begin(), found.end(), [&](const Found& a, const Found& b) {
      const auto x = text(a), y = text(b);
      return std::lexicographical_compare(x.begin(), x.end(), y.begin(),
                                          y.end());
    });
  } else {
    std::sort(found.begin(), found.end(),
              [](const Found& a, const Found& b) { return a.rank < b.rank; });
  }
  // A term found both ways is one node (in text order, one text), now next
  // to itself.
  auto same = [&](const Found& a, const Found& b) {
    if (!by_text) return a.node == b.node;
    const auto x = text(a), y = text(b);
    return std::equal(x.begin(), x.end(), y.begin(), y.end());
  };
  uint64_t recorded = 0;
  for (size_t i = 0; i < found.size(); ++i) {
    if (i > 0 && same(found[i], found[i - 1])) continue;
    const Found& f = found[i];
    uint32_t node = f.node;
    if (f.reversed) {
      node = kUnnamedNode;
      if constexpr (kNodes) {
        reversed.ForEachTerm(f.node, [&](uint32_t v) { node = v; });
        if (node == kUnnamedNode) continue;  // damaged: names no node
      }
    }
    sink(node, f.distance, text(f));
    if (++recorded >= limit) return;
  }
}

}  // namespace quillomar
