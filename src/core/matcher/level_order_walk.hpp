// The automaton walk below many starting nodes at once, level by level.
//
// It keeps and records exactly the nodes AutomatonWalkFrom does below each
// start, with the same distances and paths, but not in pre-order: every
// kept node of one round is expanded before any of the next, so the reads
// of a whole level's children (prefetched as each child is kept) are in
// flight together instead of one after another. Below the anchors of the
// forward-backward walk, whose subtrees are cold in the cache, waiting for
// memory one level at a time rather than one node at a time is most of the
// gain; that walk puts its matches into walk order itself.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <span>
#include <vector>

#include "core/index/search_records.hpp"
#include "core/matcher/automaton_walk.hpp"
#include "core/matcher/query_masks.hpp"

namespace quillomar {

// A node to walk below: its automaton state, and its path from the root as
// paths[path_at, path_at + depth).
struct LevelStart {
  uint32_t node;
  uint32_t state;
  uint32_t path_at;
  uint32_t depth;
};

// Calls sink(node, distance, path) for what `kRecorded` asks among the
// nodes below each start (not the starts themselves), in no promised
// order. REQUIRES: masks is QueryMasks(query, kBound), query.size() <=
// QueryMasks::Capacity(kBound), no start in state kDead, and no start below
// another (each node is reached once). Working memory comes from `memory`.
template <uint32_t kBound, Recorded kRecorded, class Sink>
void LevelOrderWalk(const RecordTrie& graph, std::span<const uint32_t> query,
                    const QueryMasks& masks, std::span<const LevelStart> starts,
                    std::span<const uint32_t> paths,
                    std::pmr::memory_resource* memory, Sink& sink) {
  constexpr bool kTerminalOnly = kRecorded == Recorded::kTerms;
  constexpr uint32_t kNone = UINT32_MAX;
  const LiveChildren<kBound, kTerminalOnly> live(graph, query, masks);
  const SearchRecord* const rec = graph.records;

  // The starts, then every node kept so far, round by round.
  struct Entry {
    uint32_t node;
    uint32_t state;
    uint32_t parent;  // index of the parent's entry; kNone for a start
    uint32_t depth;
  };
  std::pmr::vector<Entry> entries(memory);
  std::pmr::vector<uint32_t> origin(
      memory);  // origin[i]: the start entry i descends from
  entries.reserve(starts.size() + 64);
  origin.reserve(starts.size() + 64);
  for (uint32_t i = 0; i < starts.size(); ++i) {
    entries.push_back(
        {starts[i].node, starts[i].state, kNone, starts[i].depth});
    origin.push_back(i);
  }

  // The path of entry i: labels up to its start, then the start's path.
  std::array<uint32_t, QueryMasks::Capacity(0)> path;
  auto path_of = [&](uint32_t i) {
    const Entry& e = entries[i];
    const LevelStart& st = starts[origin[i]];
    uint32_t j = i;
    for (uint32_t d = e.depth; d > st.depth; --d) {
      path[d - 1] = rec[entries[j].node].label();
      j = entries[j].parent;
    }
    std::copy(paths.begin() + st.path_at, paths.begin() + st.path_at + st.depth,
              path.begin());
    return std::span<const uint32_t>(path.data(), e.depth);
  };

  // Children are written here before they become entries; a node with
  // more children than that takes room on the heap.
  std::array<Candidate, 512> local;
  std::pmr::vector<Candidate> wide(memory);
  size_t begin = 0;
  while (begin < entries.size()) {
    const size_t end = entries.size();
    for (size_t i = begin; i < end; ++i) {
      const Entry e = entries[i];
      const uint32_t fanout = live.Fanout(e.node);
      if (fanout == 0) continue;
      Candidate* out = local.data();
      if (fanout > local.size()) {
        if (wide.size() < fanout) wide.resize(fanout);
        out = wide.data();
      }
      const uint32_t depth = e.depth + 1;
      const uint32_t kept = live.Of(e.node, e.state, depth, out);
      for (uint32_t c = 0; c < kept; ++c) {
        const Candidate cand = out[c];
        entries.push_back(
            {cand.node, cand.state, static_cast<uint32_t>(i), depth});
        origin.push_back(origin[i]);
        if (kTerminalOnly && !rec[cand.node].terminal()) continue;
        const uint32_t distance = live.Distance(cand.state, depth);
        if (distance > kBound) continue;
        const uint32_t at = static_cast<uint32_t>(entries.size() - 1);
        sink(cand.node, distance, path_of(at));
        // A top node's subtree is left alone.
        if constexpr (kRecorded == Recorded::kTopNodes) {
          entries.pop_back();
          origin.pop_back();
        }
      }
    }
    begin = end;
  }
}

}  // namespace quillomar
