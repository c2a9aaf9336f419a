#include "core/index/reversed_terms.hpp"

#include <algorithm>

#include "core/index/preorder_ranks.hpp"

namespace quillomar {
namespace {

// A term on its way down the reversed trie: `cursor` is the index node
// whose label comes next (0, the root, once the whole term is read) and
// `label` that label.
struct Item {
  uint32_t label;
  uint32_t cursor;
  uint32_t term;
};

}  // namespace

ReversedTerms DeriveReversedTerms(const Trie& t,
                                  std::span<const SearchRecord> records,
                                  std::span<const uint32_t> ranks) {
  const size_t n = records.size();
  if (n >= ReversedTerms::kShared) return {};
  std::vector<uint32_t> parent(n, 0);
  for (size_t v = 0; v < n; ++v) {
    const uint32_t end = SlotEnd(t, v);
    for (uint32_t s = t.node_shifts[v]; s < end; ++s) {
      parent[s + 1] = static_cast<uint32_t>(v);
    }
  }
  std::vector<Item> level;
  for (uint32_t v = 1; v < n; ++v) {
    if (records[v].terminal() && ranks[v] != kHiddenRank) {
      level.push_back({records[v].label(), v, v});
    }
  }
  if (level.empty()) return {};

  // Built level by level: the nodes of one depth are numbered in order, and
  // each node's children right after those of the nodes before it, which
  // is the breadth-first layout (child slot s holds node s + 1). A node's
  // items are sorted by their next label; each run of one label becomes a
  // child.
  std::vector<SearchRecord> rec(1, SearchRecord{0, 0});
  std::vector<uint32_t> shifts;
  std::vector<uint32_t> term_of(1, 0);
  std::vector<uint32_t> shared;
  std::vector<uint32_t> ends{static_cast<uint32_t>(level.size())};
  std::vector<Item> next_level;
  std::vector<uint32_t> next_ends;
  uint32_t first_node = 0;  // number of the level's first node
  while (!ends.empty()) {
    next_level.clear();
    next_ends.clear();
    uint32_t begin = 0;
    for (size_t i = 0; i < ends.size(); ++i) {
      const uint32_t v = first_node + static_cast<uint32_t>(i);
      const uint32_t end = ends[i];
      // The terms read to their start end here.
      auto done = std::partition(level.begin() + begin, level.begin() + end,
                                 [](const Item& it) { return it.cursor == 0; });
      const uint32_t ended =
          static_cast<uint32_t>(done - (level.begin() + begin));
      if (ended > 0) {
        rec[v].word |= SearchRecord::kTerminalBit;
        if (ended == 1) {
          term_of[v] = level[begin].term;
        } else {
          term_of[v] =
              ReversedTerms::kShared | static_cast<uint32_t>(shared.size());
          shared.push_back(ended);
          for (uint32_t k = begin; k < begin + ended; ++k) {
            shared.push_back(level[k].term);
          }
        }
      }
      shifts.push_back(static_cast<uint32_t>(rec.size() - 1));
      std::sort(done, level.begin() + end,
                [](const Item& a, const Item& b) { return a.label < b.label; });
      for (uint32_t k = begin + ended; k < end;) {
        const uint32_t label = level[k].label;
        for (; k < end && level[k].label == label; ++k) {
          const uint32_t up = parent[level[k].cursor];
          next_level.push_back(
              {up == 0 ? 0 : records[up].label(), up, level[k].term});
        }
        rec.push_back({label, 0});
        term_of.push_back(0);
        next_ends.push_back(static_cast<uint32_t>(next_level.size()));
      }
      begin = end;
    }
    first_node += static_cast<uint32_t>(ends.size());
    level.swap(next_level);
    ends.swap(next_ends);
    if (rec.size() >= ReversedTerms::kShared) return {};
  }
  // Records bottom-up: every child is numbered after its parent.
  const size_t m = rec.size();
  for (size_t v = m; v-- > 0;) {
    const uint32_t first = shifts[v];
    const uint32_t end =
        v + 1 < m ? shifts[v + 1] : static_cast<uint32_t>(m - 1);
    const std::span<const SearchRecord> children =
        first < end
            ? std::span<const SearchRecord>(rec.data() + first + 1, end - first)
            : std::span<const SearchRecord>();
    rec[v] = ComposeRecord(rec[v].label(), rec[v].terminal(), children);
  }
  std::vector<SearchRecord>(rec).swap(rec);
  std::vector<uint32_t>(term_of).swap(term_of);
  return ReversedTerms(std::move(rec), std::move(shifts), std::move(term_of),
                       std::move(shared));
}

}  // namespace quillomar
