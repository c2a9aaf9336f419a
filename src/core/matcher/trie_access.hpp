// How the walk reads the trie's arrays. Three policies with one interface:
//
//  - UncheckedAccess reads without bounds checks. REQUIRES: IsSound(trie),
//    which guarantees every read the walk can make is in range.
//  - RecordAccess reads through the search records, for a breadth-first
//    index (IsBreadthFirst): the child in slot s is s + 1 without a read,
//    and shifts, label and terminal flag come from the search records.
//    REQUIRES: index.records() is not empty; every read then stays in bounds
//    (see RecordTrie), and a walk stops after the trie's expansion_limit.
//  - CheckedAccess reads through bounds checks and throws Panic "index out of
//    bounds: the len is L but the index is I" at the first read that would
//    leave an array. Used for decoded indexes that break the invariants.
//
// The walk calls these in its fixed read order, so the checked twin reports
// the same first faulty read as a plain reading of the algorithm would.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/index/search_index.hpp"
#include "core/index/search_records.hpp"
#include "core/panic.hpp"
#include "core/trie/trie.hpp"

namespace quillomar {

class UncheckedAccess {
 public:
  template <class Index>
  explicit UncheckedAccess(const Index& index)
      : UncheckedAccess(index.trie()) {}
  explicit UncheckedAccess(const Trie& t)
      : shifts_(t.node_shifts.data()),
        shift_count_(t.node_shifts.size()),
        children_(t.child_transitions.data()),
        slot_count_(static_cast<uint32_t>(t.child_transitions.size())),
        labels_(t.child_labels.data()),
        terminal_(t.is_terminal.data()) {}

  uint32_t Shift(uint32_t k) const { return shifts_[k]; }
  uint32_t SlotEnd(uint32_t k) const {
    return size_t{k} + 1 < shift_count_ ? shifts_[k + 1] : slot_count_;
  }
  uint32_t Child(uint32_t slot) const { return children_[slot]; }
  uint32_t Label(uint32_t c) const { return labels_[c]; }
  bool Terminal(uint32_t c) const { return terminal_[c] != 0; }
  uint64_t ExpansionLimit() const { return UINT64_MAX; }

 private:
  const uint32_t* shifts_;
  size_t shift_count_;
  const uint32_t* children_;
  uint32_t slot_count_;
  const uint32_t* labels_;
  const uint8_t* terminal_;
};

class RecordAccess {
 public:
  template <class Index>
  explicit RecordAccess(const Index& index) : g_(index.record_trie()) {}

  uint32_t Shift(uint32_t k) const { return g_.records[k].first; }
  uint32_t SlotEnd(uint32_t k) const { return g_.SlotEnd(k); }
  uint32_t Child(uint32_t slot) const { return slot + 1; }
  uint32_t Label(uint32_t c) const { return g_.records[c].label(); }
  bool Terminal(uint32_t c) const { return g_.records[c].terminal(); }
  uint64_t ExpansionLimit() const { return g_.expansion_limit; }

 private:
  RecordTrie g_;
};

class CheckedAccess {
 public:
  template <class Index>
  explicit CheckedAccess(const Index& index) : CheckedAccess(index.trie()) {}
  explicit CheckedAccess(const Trie& t) : t_(t) {}

  uint32_t Shift(uint32_t k) const { return CheckedAt(t_.node_shifts, k); }
  uint32_t SlotEnd(uint32_t k) const {
    return size_t{k} + 1 < t_.node_shifts.size()
               ? t_.node_shifts[k + 1]
               : static_cast<uint32_t>(t_.child_transitions.size());
  }
  uint32_t Child(uint32_t slot) const {
    return CheckedAt(t_.child_transitions, slot);
  }
  uint32_t Label(uint32_t c) const { return CheckedAt(t_.child_labels, c); }
  bool Terminal(uint32_t c) const { return CheckedAt(t_.is_terminal, c) != 0; }
  uint64_t ExpansionLimit() const { return UINT64_MAX; }

 private:
  const Trie& t_;
};

}  // namespace quillomar
