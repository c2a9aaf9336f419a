#include "core/index/reversed_terms.hpp"

#include <algorithm>
#include <bit>

#include "core/index/preorder_ranks.hpp"

namespace quillomar {
namespace {

// A term on its way down the reversed trie: `cursor` is the index node
// whose label comes next (0, the root, once the whole term is read), `key`
// that label's number in the alphabet (0 once the term is read), `owner`
// the reversed node the term has reached, counted within its level.
struct Item {
  uint32_t key;
  uint32_t cursor;
  uint32_t term;
  uint32_t owner;
};

// How many items ahead the derivation asks for a node's parent.
constexpr size_t kLookAhead = 16;

}  // namespace

ReversedTerms DeriveReversedTerms(const Trie& t,
                                  std::span<const SearchRecord> records,
                                  std::span<const uint32_t> ranks) {
  const size_t n = records.size();
  if (n >= ReversedTerms::kShared) return {};
  // The labels in use, numbered from 1 in code point order, so that a
  // level's items can be grouped by counting rather than by comparing: a
  // bit per code point, and the bits set before each word of 64.
  std::vector<uint64_t> used((SearchRecord::kLabelMask >> 6) + 1, 0);
  for (size_t v = 1; v < n; ++v) {
    if (ranks[v] == kHiddenRank) continue;
    const uint32_t label = records[v].label();
    used[label >> 6] |= uint64_t{1} << (label & 63);
  }
  std::vector<uint32_t> used_before(used.size());
  std::vector<uint32_t> alphabet;
  for (size_t w = 0; w < used.size(); ++w) {
    used_before[w] = static_cast<uint32_t>(alphabet.size());
    for (uint64_t bits = used[w]; bits != 0; bits &= bits - 1) {
      alphabet.push_back(static_cast<uint32_t>(w * 64) +
                         static_cast<uint32_t>(std::countr_zero(bits)));
    }
  }
  auto key_of = [&](uint32_t v) -> uint32_t {
    if (ranks[v] == kHiddenRank) return 0;
    const uint32_t label = records[v].label();
    const uint64_t below = (uint64_t{1} << (label & 63)) - 1;
    return used_before[label >> 6] +
           static_cast<uint32_t>(std::popcount(used[label >> 6] & below)) + 1;
  };
  // Each node's parent and the parent's key (0 for the root) side by side:
  // a term read one label further costs one random read, not two.
  struct Up {
    uint32_t node;
    uint32_t key;
  };
  std::vector<Up> up_of(n, Up{0, 0});
  for (size_t v = 0; v < n; ++v) {
    const uint32_t end = SlotEnd(t, v);
    const uint32_t key = v == 0 ? 0 : key_of(static_cast<uint32_t>(v));
    for (uint32_t s = t.node_shifts[v]; s < end; ++s) {
      up_of[s + 1] = {static_cast<uint32_t>(v), key};
    }
  }
  const size_t keys = alphabet.size() + 1;

  std::vector<Item> level;
  for (uint32_t v = 1; v < n; ++v) {
    if (records[v].terminal() && ranks[v] != kHiddenRank) {
      level.push_back({key_of(v), v, v, 0});
    }
  }
  if (level.empty()) return {};

  // Built level by level: the nodes of one depth are numbered in order, and
  // each node's children right after those of the nodes before it, which
  // is the breadth-first layout (IsBreadthFirst). A level's
  // items are grouped by owner and, within an owner, by key (two stable
  // counting passes); each run of one key becomes a child, the terms read
  // to their start (key 0) end at the owner.
  std::vector<SearchRecord> rec(1, SearchRecord{0, 0, 0});
  std::vector<uint32_t> shifts;
  std::vector<uint32_t> terms;
  std::vector<uint32_t> shared;
  std::vector<uint32_t> ends{static_cast<uint32_t>(level.size())};
  std::vector<Item> sorted;
  std::vector<uint32_t> count(keys);
  std::vector<uint32_t> next_ends;
  uint32_t first_node = 0;  // number of the level's first node
  while (!ends.empty()) {
    // By key, stably; then back by owner, stably: within each owner's range
    // the items come out in key order.
    sorted.resize(level.size());
    std::fill(count.begin(), count.end(), 0);
    for (const Item& it : level) ++count[it.key];
    uint32_t at = 0;
    for (uint32_t& c : count) at += std::exchange(c, at);
    for (const Item& it : level) sorted[count[it.key]++] = it;
    {
      // Each owner's range starts where the one before it ends.
      std::vector<uint32_t> place(ends.size(), 0);
      std::copy(ends.begin(), ends.end() - 1, place.begin() + 1);
      for (const Item& it : sorted) level[place[it.owner]++] = it;
    }
    next_ends.clear();
    sorted.clear();  // reused below as the next level
    uint32_t begin = 0;
    for (size_t i = 0; i < ends.size(); ++i) {
      const uint32_t v = first_node + static_cast<uint32_t>(i);
      const uint32_t end = ends[i];
      uint32_t k = begin;
      while (k < end && level[k].key == 0) ++k;
      const uint32_t ended = k - begin;
      if (ended > 0) {
        rec[v].word |= SearchRecord::kTerminalBit;
        if (ended == 1) {
          terms.push_back(level[begin].term);
        } else {
          terms.push_back(ReversedTerms::kShared |
                          static_cast<uint32_t>(shared.size()));
          shared.push_back(ended);
          for (uint32_t e = begin; e < k; ++e) shared.push_back(level[e].term);
        }
      }
      shifts.push_back(static_cast<uint32_t>(rec.size() - 1));
      while (k < end) {
        const uint32_t key = level[k].key;
        const uint32_t child = static_cast<uint32_t>(next_ends.size());
        for (; k < end && level[k].key == key; ++k) {
          // The items are in reversed-trie order, their cursors anywhere in
          // the index: ask for the read a few items ahead.
          if (k + kLookAhead < level.size()) {
            __builtin_prefetch(&up_of[level[k + kLookAhead].cursor]);
          }
          const Up up = up_of[level[k].cursor];
          sorted.push_back({up.key, up.node, level[k].term, child});
        }
        rec.push_back({alphabet[key - 1], 0, 0});
        next_ends.push_back(static_cast<uint32_t>(sorted.size()));
      }
      begin = end;
    }
    first_node += static_cast<uint32_t>(ends.size());
    level.swap(sorted);
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
    rec[v] = ComposeRecord(rec[v].label(), rec[v].terminal(), first, children);
  }
  rec.shrink_to_fit();
  terms.shrink_to_fit();
  return ReversedTerms(std::move(rec), std::move(terms), std::move(shared), n);
}

}  // namespace quillomar
