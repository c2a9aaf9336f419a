#include "core/matcher/band_automaton.hpp"

#include <algorithm>
#include <array>
#include <cassert>
#include <map>

namespace quillomar {
namespace {

using Cells = std::array<uint8_t, 2 * kMaxAutomatonBound + 1>;

// One band step on explicit cells: the recurrence of BandRows::Cell with
// the band's outside (left of cell 0, above the last cell) at the cap.
Cells Step(const Cells& prev, uint32_t chi, uint32_t width, uint8_t cap) {
  Cells cur{};
  for (uint32_t t = 0; t < width; ++t) {
    uint32_t v = prev[t] + ((chi >> t) & 1u ? 0u : 1u);
    v = std::min<uint32_t>(v, t + 1 < width ? prev[t + 1] + 1u : cap);
    if (t > 0) v = std::min<uint32_t>(v, cur[t - 1] + 1u);
    cur[t] = static_cast<uint8_t>(std::min<uint32_t>(v, cap));
  }
  return cur;
}

BandAutomaton Build(uint32_t bound) {
  const uint32_t width = 2 * bound + 1;
  const uint8_t cap = static_cast<uint8_t>(bound + 1);
  BandAutomaton a{bound, width, 1u << width, {}, {}, {}, {}, {}};

  // Cell t of the root's row stands for j = t - bound: outside the query
  // (the cap) for j < 0, else j.
  Cells dead{};
  Cells start{};
  for (uint32_t t = 0; t < width; ++t) {
    dead[t] = cap;
    start[t] = t < bound ? cap : static_cast<uint8_t>(t - bound);
  }
  std::map<Cells, uint8_t> ids;
  std::vector<Cells> states;
  auto id_of = [&](const Cells& c) {
    auto [it, added] = ids.try_emplace(c, static_cast<uint8_t>(states.size()));
    if (added) states.push_back(c);
    return it->second;
  };
  id_of(dead);
  id_of(start);
  // Breadth-first over reachable rows; every row whose cells all exceed the
  // bound is the dead state, which stays dead.
  for (size_t s = 0; s < states.size(); ++s) {
    for (uint32_t chi = 0; chi < a.chi_count; ++chi) {
      Cells c = Step(states[s], chi, width, cap);
      if (*std::min_element(c.begin(), c.begin() + width) > bound) c = dead;
      a.next.push_back(id_of(c));
    }
  }
  assert(states.size() <= 256);
  for (const Cells& c : states) {
    a.cells.insert(a.cells.end(), c.begin(), c.begin() + width);
    a.min.push_back(*std::min_element(c.begin(), c.begin() + width));
    uint8_t first = 0;
    uint8_t last = 0;
    for (uint32_t t = width; t-- > 0;) {
      if (c[t] <= bound) first = static_cast<uint8_t>(t);
    }
    for (uint32_t t = 0; t < width; ++t) {
      if (c[t] <= bound) last = static_cast<uint8_t>(t);
    }
    a.first_live.push_back(first);
    a.last_live.push_back(last);
  }
  return a;
}

}  // namespace

const BandAutomaton& AutomatonFor(uint32_t bound) {
  assert(bound <= kMaxAutomatonBound);
  static const std::array<BandAutomaton, kMaxAutomatonBound + 1> automata = {
      Build(0), Build(1), Build(2)};
  return automata[bound];
}

}  // namespace quillomar
