#include "core/index/search_records.hpp"

#include <algorithm>

#include "core/panic.hpp"
#include "core/trie/breadth_first.hpp"

namespace quillomar {

void PanicRevisitedNode() {
  throw Panic("index damaged: a search reached a node twice");
}

SearchRecord ComposeRecord(uint32_t label, bool terminal, uint32_t first,
                           std::span<const SearchRecord> children) {
  constexpr uint32_t kCap = SearchRecord::kRestCap;
  // Rests saturate at kCap, which keeps them bounds: min(x + 1, cap) of a
  // saturated x is the saturated x + 1.
  uint32_t min_rest = terminal ? 0 : kCap;
  uint32_t max_rest = 0;
  bool any = terminal;
  uint32_t letters = 0;
  for (const SearchRecord& c : children) {
    const uint32_t child_label = c.label();
    if (child_label == 0) continue;  // hidden from searches, with its subtree
    letters |= c.letters | (uint32_t{1} << LetterBucket(child_label));
    if (c.min_rest() > c.max_rest()) continue;  // no term below c
    min_rest = std::min(min_rest, std::min(c.min_rest() + 1, kCap));
    max_rest = std::max(max_rest, std::min(c.max_rest() + 1, kCap));
    any = true;
  }
  if (!any) min_rest = kCap, max_rest = 0;
  return {(label & SearchRecord::kLabelMask) | (min_rest << 21) |
              (max_rest << 26) | (terminal ? SearchRecord::kTerminalBit : 0),
          letters, first};
}

std::vector<SearchRecord> DeriveSearchRecords(const Trie& t) {
  if (!IsBreadthFirst(t)) return {};
  const size_t n = t.node_count();
  std::vector<SearchRecord> records(n);
  // Children before parents: every child comes after its parent.
  for (size_t v = n; v-- > 0;) {
    const uint32_t start = t.node_shifts[v];
    const uint32_t end = SlotEnd(t, v);
    const std::span<const SearchRecord> children =
        start < end ? std::span<const SearchRecord>(records.data() + start + 1,
                                                    end - start)
                    : std::span<const SearchRecord>();
    records[v] = ComposeRecord(t.child_labels[v], t.is_terminal[v] != 0, start,
                               children);
  }
  return records;
}

}  // namespace quillomar
