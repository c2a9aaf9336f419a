// Which walk answers which search. Every walk records the same nodes with
// the same distances in the same order (depth-first pre-order from the
// root, see row_walk.hpp); they differ only in how much work that takes.
//
// clang-format off
//   index                      bound k  records  query length n  walk
//   -------------------------  -------  -------  --------------  ----------------
//   breadth-first tree         1, 2     terms    4 .. 64 - k     forward-backward
//   breadth-first (records)    0, 1, 2  any      up to 64 - k    automaton
//   sound                      any      any      any             row walk, plain reads
//   not sound (decoded as-is)  any      any      any             row walk, checked reads
// clang-format on
//
// The first row that applies wins. The row walk keeps only the band of
// 2k + 1 cells around the diagonal when that is narrower than the n + 1
// cells of a whole row, and compiles the band for k = 1 and 2.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "core/index/search_index.hpp"
#include "core/matcher/automaton_walk.hpp"
#include "core/matcher/edit_rows.hpp"
#include "core/matcher/forward_backward_walk.hpp"
#include "core/matcher/row_walk.hpp"
#include "core/matcher/trie_access.hpp"

namespace quillomar {

// Runs the walk the table above picks. `limit` nullopt means no limit; 0
// records nothing. Sink as for RowWalk; with kNodes false it must not read
// the node it is given, which spares the forward-backward walk mapping
// terms back to index nodes.
//
// Index: the index's node_count(), sound(), records(), record_trie() and
// forward_backward() (see SearchIndex); an index that owns a Trie (kOwnsTrie)
// also its trie(), for the row walk over a trie without records.
template <bool kNodes = true, class Index, class Sink>
void Walk(const Index& index, std::span<const uint32_t> query,
          uint32_t max_dist, bool terminal_only, std::optional<uint32_t> limit,
          Sink& sink) {
  if (index.node_count() == 0) return;  // no root: nothing can match
  const uint64_t cap = limit ? *limit : UINT64_MAX;
  if (cap == 0) return;
  const uint32_t bound = EffectiveBound(max_dist);
  const size_t n = query.size();
  // The first search this walk fits derives its data (the reversed trie).
  const auto* fb = terminal_only && ForwardBackwardWalkFits(index, n, bound)
                       ? index.forward_backward()
                       : nullptr;
  if (fb != nullptr) {
    if (bound == 1) {
      ForwardBackwardWalk<1, kNodes>(index, *fb, query, cap, sink);
    } else {
      ForwardBackwardWalk<2, kNodes>(index, *fb, query, cap, sink);
    }
    return;
  }
  if (AutomatonWalkFits(index, n, bound)) {
    auto automaton = [&]<bool kTerminalOnly>() {
      if (bound == 0) {
        AutomatonWalk<0, kTerminalOnly>(index, query, cap, sink);
      } else if (bound == 1) {
        AutomatonWalk<1, kTerminalOnly>(index, query, cap, sink);
      } else {
        AutomatonWalk<2, kTerminalOnly>(index, query, cap, sink);
      }
    };
    if (terminal_only) {
      automaton.template operator()<true>();
    } else {
      automaton.template operator()<false>();
    }
    return;
  }
  const bool band = UseBand(n, bound);
  auto rows = [&]<class Access>() {
    if (!band) {
      RowWalk<Access, FullRows>(index, query, bound, terminal_only, cap, sink);
    } else if (bound == 1) {
      RowWalk<Access, BandRowsOf<1>>(index, query, bound, terminal_only, cap,
                                     sink);
    } else if (bound == 2) {
      RowWalk<Access, BandRowsOf<2>>(index, query, bound, terminal_only, cap,
                                     sink);
    } else {
      RowWalk<Access, BandRows>(index, query, bound, terminal_only, cap, sink);
    }
  };
  if constexpr (Index::kOwnsTrie) {
    if (!index.sound()) {
      rows.template operator()<CheckedAccess>();
    } else if (!index.records().empty()) {
      rows.template operator()<RecordAccess>();
    } else {
      rows.template operator()<UncheckedAccess>();
    }
  } else {
    rows.template operator()<RecordAccess>();  // records always exist
  }
}

}  // namespace quillomar
