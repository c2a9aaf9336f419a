// The automaton walk below many starting nodes at once, level by level.
//
// It keeps and records exactly the nodes the automaton walk would below
// each start, were it started there, with the same distances and paths, but not
// in pre-order: every kept node of one round is expanded before any of the
// next, so the reads of a whole level's children (prefetched as each child is
// kept) are in flight together instead of one after another. Below the anchors
// of the forward-backward walk, whose subtrees are cold in the cache, waiting
// for memory one level at a time rather than one node at a time is most of the
// gain; that walk puts its matches into walk order itself.
#pragma once

#include <algorithm>
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

// What a walk records, among the nodes whose distance is within the bound.
enum class Recorded {
  kTerms,     // the nodes where a term ends
  kTopNodes,  // every node, whose subtree is then left alone
};

// A node to walk below: its automaton state, and its path from the root as
// paths[path_at, path_at + depth).
struct LevelStart {
  uint32_t node;
  uint32_t state;
  uint32_t path_at;
  uint32_t depth;
};

// Finds what `kRecorded` asks among the nodes below each start (not the
// starts themselves), one round at a time, in no promised order. Two walks
// can take turns round by round, so that the reads each one starts are in
// flight while the other works.
template <uint32_t kBound, Recorded kRecorded>
class LevelOrderWalk {
 public:
  // REQUIRES: masks is QueryMasks(query, kBound) (null for kBound 0),
  // query.size() <= QueryMasks::Capacity(kBound), no start in state kDead,
  // no start below another (each node is reached once), and every argument
  // outlives the walk. Working memory comes from `memory`.
  LevelOrderWalk(const RecordTrie& graph, std::span<const uint32_t> query,
                 const QueryMasks* masks, std::span<const LevelStart> starts,
                 std::span<const uint32_t> paths,
                 std::pmr::memory_resource* memory)
      : live_(graph, query, masks),
        rec_(graph.records),
        expansion_limit_(graph.expansion_limit),
        starts_(starts),
        paths_(paths),
        entries_(memory),
        wide_(memory) {
    entries_.reserve(starts.size() + 64);
    for (const LevelStart& st : starts) {
      entries_.push_back({st.node, st.state, kNone, st.depth});
    }
  }

  // Expands the nodes the last round kept (at first, the starts), calling
  // sink(node, distance, path) for each child recorded. Returns whether
  // another round has nodes to expand.
  template <class Sink>
  bool Round(Sink& sink) {
    const size_t end = entries_.size();
    for (size_t i = begin_; i < end; ++i) {
      const Entry e = entries_[i];
      const uint32_t fanout = live_.Fanout(e.node);
      if (fanout == 0) continue;
      if (++expanded_ > expansion_limit_) PanicRevisitedNode();
      Candidate* out = local_.data();
      if (fanout > local_.size()) {
        if (wide_.size() < fanout) wide_.resize(fanout);
        out = wide_.data();
      }
      const uint32_t depth = e.depth + 1;
      const uint32_t kept = live_.Of(e.node, e.state, depth, out);
      for (uint32_t c = 0; c < kept; ++c) {
        const Candidate cand = out[c];
        entries_.push_back(
            {cand.node, cand.state, static_cast<uint32_t>(i), depth});
        if (kTerminalOnly && !rec_[cand.node].terminal()) continue;
        const uint32_t distance = live_.Distance(cand.state, depth);
        if (distance > kBound) continue;
        sink(cand.node, distance,
             PathOf(static_cast<uint32_t>(entries_.size() - 1)));
        // A top node's subtree is left alone.
        if constexpr (kRecorded == Recorded::kTopNodes) {
          entries_.pop_back();
        }
      }
    }
    begin_ = end;
    return begin_ < entries_.size();
  }

 private:
  static constexpr bool kTerminalOnly = kRecorded == Recorded::kTerms;
  static constexpr uint32_t kNone = UINT32_MAX;

  // The starts (entry i is starts[i]), then every node kept so far, round
  // by round.
  struct Entry {
    uint32_t node;
    uint32_t state;
    uint32_t parent;  // index of the parent's entry; kNone for a start
    uint32_t depth;
  };

  // The path of entry i: labels up to its start, then the start's path.
  std::span<const uint32_t> PathOf(uint32_t i) {
    uint32_t j = i;
    for (; entries_[j].parent != kNone; j = entries_[j].parent) {
      path_[entries_[j].depth - 1] = rec_[entries_[j].node].label();
    }
    const LevelStart& st = starts_[j];
    std::copy(paths_.begin() + st.path_at,
              paths_.begin() + st.path_at + st.depth, path_.begin());
    return std::span<const uint32_t>(path_.data(), entries_[i].depth);
  }

  const LiveChildren<kBound, kTerminalOnly> live_;
  const SearchRecord* rec_;
  const uint64_t expansion_limit_;
  uint64_t expanded_ = 0;
  std::span<const LevelStart> starts_;
  std::span<const uint32_t> paths_;
  std::pmr::vector<Entry> entries_;
  size_t begin_ = 0;  // the entries the next round expands
  std::array<uint32_t, QueryMasks::Capacity(0)> path_;
  // Children are written here before they become entries; a node with
  // more children than that takes room on the heap.
  std::array<Candidate, 256> local_;
  std::pmr::vector<Candidate> wide_;
};

}  // namespace quillomar
