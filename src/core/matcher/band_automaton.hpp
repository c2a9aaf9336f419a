// The band rows of small bounds as a finite automaton.
//
// For a bound k, a band row (see edit_rows.hpp) is a tuple of 2k + 1 cells,
// each 0..k + 1 once capped, and the next row depends only on that tuple and
// on which of the 2k + 1 query characters under the band equal the new label
// (the row's characteristic bits). Only a few tuples are reachable from the
// root's row: 10 for k = 1, 56 for k = 2. Numbering them once turns a row
// step into one table lookup, and a walk frame's row into one byte.
//
// The automaton is exact for the band model: every cell it keeps equals the
// cell BandRows computes for the same path whenever either is within the
// bound. Query positions outside 0..n - 1 act as characters that equal no
// label; by the recurrence a cell j > n is never below cell n, so such
// cells never lower a row's minimum nor change a distance, and a row at a
// depth d > n + bound (every cell j <= n is at least d - j) is dead.
#pragma once

#include <cstdint>
#include <vector>

namespace quillomar {

// Largest bound with an automaton. k = 3 would need 356 states and a table
// of 45,568 entries, larger than the level-1 cache the lookups rely on.
inline constexpr uint32_t kMaxAutomatonBound = 2;

struct BandAutomaton {
  static constexpr uint8_t kDead = 0;   // every cell above the bound
  static constexpr uint8_t kStart = 1;  // the root's row

  uint32_t bound;
  uint32_t width;      // 2 * bound + 1
  uint32_t chi_count;  // 1 << width
  // next[s * chi_count + chi]: the state after a label whose characteristic
  // bits are chi (bit t set when query position base + t - 1 equals it).
  std::vector<uint8_t> next;
  // cells[s * width + t]: cell t of state s, capped at bound + 1.
  std::vector<uint8_t> cells;
  // min[s]: the smallest cell of state s, capped at bound + 1.
  std::vector<uint8_t> min;
  // first_live[s], last_live[s]: the first and last cell of state s within
  // the bound (both 0 for the dead state).
  std::vector<uint8_t> first_live;
  std::vector<uint8_t> last_live;
};

// The automaton of `bound`, built on first use and shared (thread-safe).
// REQUIRES: bound <= kMaxAutomatonBound.
const BandAutomaton& AutomatonFor(uint32_t bound);

}  // namespace quillomar
