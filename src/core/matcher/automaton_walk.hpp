// The automaton walk: the row walk's visiting order, records and distances
// for a breadth-first trie with search records (index/search_records.hpp)
// and a bound of at most kMaxAutomatonBound, found with far less work per
// node.
//
//  - A row is an automaton state (band_automaton.hpp), so a child costs a
//    record read, a mask lookup and one table read.
//  - A node's children are examined together, without a branch per child:
//    the ones that stay within the bound, and whose subtree can still hold
//    a match by the records' length and letter bounds, are written to a
//    candidate stack in slot order; the walk then takes them one by one.
//  - A live row at depth d has d <= n + bound (band_automaton.hpp), so the
//    path and the frames fit fixed arrays of 64 entries.
//
// The walk can start below the root, at a node whose state is known, and
// runs over any trie in that form: the index's own, or the trie of its
// reversed terms (index/reversed_terms.hpp).
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/bit_count.hpp"
#include "core/index/search_index.hpp"
#include "core/index/search_records.hpp"
#include "core/matcher/band_automaton.hpp"
#include "core/matcher/query_masks.hpp"

namespace quillomar {

// The automaton state of the row of `path`, read from the root's state one
// label at a time (kDead once every cell exceeds the bound).
template <uint32_t kBound>
uint32_t StateAlong(const QueryMasks& masks, std::span<const uint32_t> path) {
  constexpr uint32_t kChiCount = uint32_t{1} << (2 * kBound + 1);
  const BandAutomaton& am = AutomatonFor(kBound);
  uint32_t state = BandAutomaton::kStart;
  for (size_t i = 0; i < path.size() && state != BandAutomaton::kDead; ++i) {
    const uint64_t chi =
        i < 64 ? (masks.Of(path[i]) >> i) & (kChiCount - 1) : 0;
    state = am.next[size_t{state} * kChiCount + chi];
  }
  return state;
}

// The bound-0 state of a path that spells the query's first `depth` code
// points (kDead past 64, where StateAlong stops reading masks).
inline uint32_t ExactPrefixState(size_t depth) {
  const BandAutomaton& am = AutomatonFor(0);
  uint32_t state = BandAutomaton::kStart;
  for (size_t i = 0; i < depth && state != BandAutomaton::kDead; ++i) {
    state = am.next[size_t{state} * 2 + (i < 64 ? 1 : 0)];
  }
  return state;
}

// The distance (cell n) of a row at `depth` in state `state`: cell
// n - depth + kBound of the band, or kBound + 1 when that is outside the
// band or past the bound.
template <uint32_t kBound>
uint32_t BandDistance(const BandAutomaton& am, uint32_t state, size_t n,
                      size_t depth) {
  constexpr int64_t kWidth = 2 * kBound + 1;
  const int64_t tn =
      static_cast<int64_t>(n) - static_cast<int64_t>(depth) + int64_t{kBound};
  if (tn < 0 || tn >= kWidth) return kBound + 1;
  return am.cells[size_t{state} * kWidth + tn];
}

template <uint32_t kBound>
uint32_t StateDistance(uint32_t state, size_t n, size_t depth) {
  return BandDistance<kBound>(AutomatonFor(kBound), state, n, depth);
}

// A node and the automaton state of its row.
struct Candidate {
  uint32_t node;
  uint32_t state;
};

// The one rule by which the automaton walks keep a child: its row stays
// within the bound, and its subtree can still hold a match by the records'
// length and letter bounds. Holds what that costs to know per query.
template <uint32_t kBound, bool kTerminalOnly>
class LiveChildren {
 public:
  static constexpr uint32_t kWidth = 2 * kBound + 1;
  static constexpr uint32_t kChiCount = uint32_t{1} << kWidth;

  // REQUIRES: masks is QueryMasks(query, kBound), or null for kBound 0
  // (whose children are told apart by comparing labels); both outlive this.
  LiveChildren(const RecordTrie& graph, std::span<const uint32_t> query,
               const QueryMasks* masks)
      : am_(AutomatonFor(kBound)),
        rec_(graph.records),
        graph_(graph),
        masks_(masks),
        query_(query),
        n_(static_cast<int32_t>(query.size())) {
    suffix_letters_[n_] = 0;
    for (int32_t j = n_; j-- > 0;) {
      suffix_letters_[j] =
          suffix_letters_[j + 1] | (uint32_t{1} << LetterBucket(query[j]));
    }
  }

  // How many children v has (the room Of needs).
  uint32_t Fanout(uint32_t v) const {
    const uint32_t first = rec_[v].first;
    const uint32_t end = graph_.SlotEnd(v);
    return first < end ? end - first : 0;
  }

  // Writes the kept children of v, whose row is `state`, to out in slot
  // order and returns how many; the children are at depth `depth`.
  // Prefetches the children of each one kept. REQUIRES: out has room for
  // Fanout(v) entries.
  uint32_t Of(uint32_t v, uint32_t state, uint32_t depth,
              Candidate* out) const {
    constexpr int32_t kFar = 1 << 20;  // above any penalty the bound allows
    const uint32_t first = rec_[v].first;
    const uint32_t end = graph_.SlotEnd(v);
    // The children's cell t compares query position depth - 1 - kBound + t,
    // bit depth - 1 + t of a mask; past bit 63 no position is left.
    const uint32_t shift = depth - 1;
    const uint64_t chi_mask = shift < 64 ? kChiCount - 1 : 0;
    const uint8_t* const next = am_.next.data() + size_t{state} * kChiCount;
    // Hidden children (label 0) are dropped with the filter below, which
    // sees far fewer candidates than this loop sees children.
    uint32_t count = 0;
    if constexpr (kBound == 0) {
      // The band is one cell: only a child labelled with the query's next
      // letter can live, and all such children share one state, so the
      // labels are compared directly (a hidden child, label 0, is dropped
      // by the filter below like any other).
      const uint32_t at = depth - 1;
      if (at >= query_.size()) return 0;
      const uint32_t want = query_[at];
      const uint8_t to = next[1];
      if (to == BandAutomaton::kDead) return 0;
      for (uint32_t s = first; s < end; ++s) {
        const uint32_t c = s + 1;
        out[count] = {c, to};
        count += static_cast<uint32_t>(rec_[c].label() == want);
      }
    } else {
      for (uint32_t s = first; s < end; ++s) {
        const uint32_t c = s + 1;
        const uint32_t to =
            next[(masks_->Of(rec_[c].label()) >> (shift & 63)) & chi_mask];
        out[count] = {c, to};
        count += static_cast<uint32_t>(to != BandAutomaton::kDead);
      }
    }
    // Keep a live child only when some live cell j of its row, plus the
    // least the rest of a match below it must cost, is within the bound.
    // The rest costs at least the length difference, and one edit per
    // letter bucket of q[j..n) missing below the child; both are taken at
    // their least over the live cells.
    const int32_t base = static_cast<int32_t>(depth) - int32_t{kBound};
    const uint8_t* const state_min = am_.min.data();
    const uint8_t* const first_live = am_.first_live.data();
    const uint8_t* const last_live = am_.last_live.data();
    uint32_t kept = 0;
    for (uint32_t i = 0; i < count; ++i) {
      const Candidate cand = out[i];
      const SearchRecord r = rec_[cand.node];
      const int32_t j_lo = std::clamp(base + first_live[cand.state], 0, n_);
      const int32_t j_hi = std::clamp(base + last_live[cand.state], 0, n_);
      int32_t penalty =
          static_cast<int32_t>(BitCount(suffix_letters_[j_hi] & ~r.letters));
      if constexpr (kTerminalOnly) {
        const int32_t min_rest = static_cast<int32_t>(r.min_rest());
        const int32_t max_rest = r.max_rest() == SearchRecord::kRestCap
                                     ? kFar
                                     : int32_t(r.max_rest());
        const int32_t length =
            std::max(min_rest - (n_ - j_lo), (n_ - j_hi) - max_rest);
        penalty = std::max(penalty, min_rest > max_rest ? kFar : length);
      }
      // Its children are read when it is taken; start those loads now.
      __builtin_prefetch(rec_ + r.first + 1);
      out[kept] = cand;
      kept += static_cast<uint32_t>(state_min[cand.state] + penalty <=
                                    int32_t{kBound}) &
              static_cast<uint32_t>(r.label() != 0);
    }
    return kept;
  }

  // The distance (cell n) of a row at `depth`, or kBound + 1 when that cell
  // is outside the band or past the bound.
  uint32_t Distance(uint32_t state, uint32_t depth) const {
    return BandDistance<kBound>(am_, state, static_cast<size_t>(n_), depth);
  }

 private:
  const BandAutomaton& am_;
  const SearchRecord* rec_;
  RecordTrie graph_;
  const QueryMasks* masks_;
  std::span<const uint32_t> query_;
  int32_t n_;
  // suffix_letters_[j]: the letter buckets of q[j..n).
  uint32_t suffix_letters_[QueryMasks::Capacity(0) + 1];
};

// Walks `graph` from its root (node 0) in pre-order, calling sink(node,
// distance, path) for every node within the bound (kTerminalOnly: every
// such node where a term ends), until `limit` records. The root itself is
// not examined. `masks` must be QueryMasks(query, kBound), or null for
// kBound 0. REQUIRES: limit >= 1, graph non-empty and query.size() <=
// QueryMasks::Capacity(kBound).
template <uint32_t kBound, bool kTerminalOnly, class Sink>
void AutomatonWalk(const RecordTrie& graph, std::span<const uint32_t> query,
                   const QueryMasks* masks, uint64_t limit, Sink& sink) {
  const LiveChildren<kBound, kTerminalOnly> live(graph, query, masks);
  const SearchRecord* const rec = graph.records;

  struct Frame {
    uint32_t begin;  // the frame's candidates: [begin, end)
    uint32_t next;   // the next one to take
    uint32_t end;
    uint32_t depth;  // depth of the candidates
  };
  // Frames hold candidates at depths 1..n + kBound, one frame per depth,
  // and n + kBound <= kMaxDepth (AutomatonWalkFits).
  constexpr size_t kMaxDepth = QueryMasks::Capacity(0);
  std::array<Frame, kMaxDepth> stack;
  size_t frames = 0;
  std::array<uint32_t, kMaxDepth> path;  // path[d - 1]: label at depth d
  // Candidates live on the C stack until a query needs more room (a node
  // with thousands of children); they are written before they are read.
  std::array<Candidate, 512> local;
  std::vector<Candidate> spilled;
  Candidate* candidates = local.data();
  size_t capacity = local.size();
  uint32_t top = 0;  // candidates in use
  uint64_t recorded = 0;
  uint64_t expanded = 0;

  // Pushes a frame with the candidates among the children of `v`, whose row
  // is `state`; the children are at depth `depth`.
  auto expand = [&](uint32_t v, uint32_t state, uint32_t depth) {
    const uint32_t fanout = live.Fanout(v);
    if (fanout == 0) return;
    if (++expanded > graph.expansion_limit) PanicRevisitedNode();
    if (capacity < size_t{top} + fanout) {
      std::vector<Candidate> more(std::max(2 * capacity, size_t{top} + fanout));
      std::copy(candidates, candidates + top, more.begin());
      spilled.swap(more);
      candidates = spilled.data();
      capacity = spilled.size();
    }
    const uint32_t kept = live.Of(v, state, depth, candidates + top);
    if (kept == 0) return;
    assert(frames < kMaxDepth);
    stack[frames++] = {top, top, top + kept, depth};
    top += kept;
  };

  expand(0, BandAutomaton::kStart, 1);
  while (frames > 0) {
    Frame& f = stack[frames - 1];
    if (f.next == f.end) {
      top = f.begin;
      --frames;
      continue;
    }
    const Candidate cand = candidates[f.next++];
    const uint32_t depth = f.depth;  // f dies with the next push
    const SearchRecord r = rec[cand.node];
    path[depth - 1] = r.label();
    if (!kTerminalOnly || r.terminal()) {
      const uint32_t distance = live.Distance(cand.state, depth);
      if (distance <= kBound) {
        sink(cand.node, distance,
             std::span<const uint32_t>(path.data(), depth));
        if (++recorded >= limit) return;
      }
    }
    expand(cand.node, cand.state, depth + 1);
  }
}

// Whether the automaton walk can take a query of n code points at `bound`
// on `index`: it needs the records, and masks that hold positions
// -bound..n-1.
template <class Index>
bool AutomatonWalkFits(const Index& index, size_t n, uint32_t bound) {
  return !index.records().empty() && bound <= kMaxAutomatonBound &&
         n <= QueryMasks::Capacity(bound);
}

// The whole index from its root. REQUIRES: limit >= 1,
// index.node_count() > 0 and AutomatonWalkFits(index, query.size(),
// kBound). Sink as for RowWalk.
template <uint32_t kBound, bool kTerminalOnly, class Index, class Sink>
void AutomatonWalk(const Index& index, std::span<const uint32_t> query,
                   uint64_t limit, Sink& sink) {
  // Bound 0 compares labels and needs no masks (2 KiB to clear).
  std::optional<QueryMasks> masks;
  if constexpr (kBound > 0) masks.emplace(query, kBound);
  AutomatonWalk<kBound, kTerminalOnly>(index.record_trie(), query,
                                       masks ? &*masks : nullptr, limit, sink);
}

}  // namespace quillomar
