// The nodes two levels below the root, by the two labels that spell them.
//
// Every search that reads a query half exactly from the root starts with
// the root's children and then one of theirs: dozens of records each, the
// widest nodes of the trie, and on a busy machine often no longer in the
// cache. One probe here lands at depth two directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/index/search_records.hpp"

namespace quillomar {

class LabelPairs {
 public:
  static constexpr uint32_t kNoNode = UINT32_MAX;

  LabelPairs() = default;

  // The table of g's depth-two nodes; empty when two of them are spelt
  // alike (siblings sharing a label), where one node per pair would not
  // do, or when g has none.
  static LabelPairs Derive(const RecordTrie& g);

  bool empty() const { return slots_.empty(); }

  // The visible node at depth two spelling (a, b), or kNoNode.
  // REQUIRES: !empty().
  uint32_t Find(uint32_t a, uint32_t b) const {
    const uint64_t key = Key(a, b);
    for (size_t s = Slot(key);; s = (s + 1) & mask_) {
      if (slots_[s].key == key) return slots_[s].node;
      if (slots_[s].key == kEmpty) return kNoNode;
    }
  }

  size_t memory_bytes() const { return slots_.capacity() * sizeof(Entry); }

 private:
  static constexpr uint64_t kEmpty = UINT64_MAX;  // no pair of labels
  static uint64_t Key(uint32_t a, uint32_t b) {
    return (uint64_t{a} << 32) | b;
  }
  size_t Slot(uint64_t key) const {
    return static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> shift_) & mask_;
  }

  // A key and its node side by side: a probe is one memory read.
  struct Entry {
    uint64_t key;
    uint32_t node;
  };
  std::vector<Entry> slots_;
  size_t mask_ = 0;
  unsigned shift_ = 0;
};

}  // namespace quillomar
