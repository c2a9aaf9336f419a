// The nodes two levels below the root, by the two labels that spell them.
//
// Every search that reads a query half exactly from the root starts with
// the root's children and then one of theirs: dozens of records each, the
// widest nodes of the trie, and on a busy machine often no longer in the
// cache. One probe here lands at depth two directly.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/index/search_records.hpp"

namespace quillomar {

class LabelPairs {
 public:
  static constexpr uint32_t kNoNode = UINT32_MAX;

  // A key and its node side by side: a probe is one memory read.
  struct Entry {
    uint64_t key;
    uint32_t node;
  };
  static_assert(sizeof(Entry) == 16);

  LabelPairs() = default;

  // The table of g's depth-two nodes; empty when two of them are spelt
  // alike (siblings sharing a label), where one node per pair would not
  // do, or when g has none.
  static LabelPairs Derive(const RecordTrie& g);

  // Reads slots that outlive it (a mapped file), trusting none of their
  // values: a probe ends after visiting every slot, and a node at or above
  // `node_count` is no node. REQUIRES: slots.size() is 0 or a power of two.
  LabelPairs(std::span<const Entry> slots, size_t node_count)
      : slots_(slots), node_count_(node_count) {
    SetShape();
  }

  LabelPairs(LabelPairs&&) = default;  // the vector keeps its buffer
  LabelPairs& operator=(LabelPairs&&) = default;

  bool empty() const { return slots_.empty(); }
  std::span<const Entry> slots() const { return slots_; }

  // The visible node at depth two spelling (a, b), or kNoNode.
  // REQUIRES: !empty().
  uint32_t Find(uint32_t a, uint32_t b) const {
    const uint64_t key = Key(a, b);
    size_t s = Slot(key);
    for (size_t probes = 0; probes <= mask_; ++probes, s = (s + 1) & mask_) {
      if (slots_[s].key == key) {
        const uint32_t node = slots_[s].node;
        return node < node_count_ ? node : kNoNode;
      }
      if (slots_[s].key == kEmpty) break;
    }
    return kNoNode;
  }

  size_t memory_bytes() const { return own_.capacity() * sizeof(Entry); }

 private:
  static constexpr uint64_t kEmpty = UINT64_MAX;  // no pair of labels
  static uint64_t Key(uint32_t a, uint32_t b) {
    return (uint64_t{a} << 32) | b;
  }
  size_t Slot(uint64_t key) const {
    return static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> shift_) & mask_;
  }
  void SetShape() {
    const size_t n = slots_.size();
    mask_ = n == 0 ? 0 : n - 1;
    // A one-slot table would shift by 64, which is undefined; its mask is
    // 0, so any shift in range gives slot 0.
    shift_ = n <= 1 ? 63 : static_cast<unsigned>(64 - std::countr_zero(n));
  }

  std::vector<Entry> own_;  // empty when the slots live elsewhere
  std::span<const Entry> slots_;
  size_t node_count_ = 0;
  size_t mask_ = 0;
  unsigned shift_ = 0;
};

}  // namespace quillomar
