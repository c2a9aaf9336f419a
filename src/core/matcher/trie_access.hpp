// How the walk reads the trie's arrays. Three policies with one interface:
//
//  - UncheckedAccess reads without bounds checks. REQUIRES: IsSound(trie),
//    which guarantees every read the walk can make is in range.
//  - RecordAccess reads through the search records, for a breadth-first
//    index (IsBreadthFirst): the child in slot s is s + 1 without a read,
//    and label and terminal flag come from the node's search record.
//    REQUIRES: index.records() is not empty (which implies a sound index).
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
  explicit UncheckedAccess(const SearchIndex& index)
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
  explicit RecordAccess(const SearchIndex& index)
      : shifts_(index.trie().node_shifts.data()),
        shift_count_(index.trie().node_shifts.size()),
        slot_count_(
            static_cast<uint32_t>(index.trie().child_transitions.size())),
        records_(index.records().data()) {}

  uint32_t Shift(uint32_t k) const { return shifts_[k]; }
  uint32_t SlotEnd(uint32_t k) const {
    return size_t{k} + 1 < shift_count_ ? shifts_[k + 1] : slot_count_;
  }
  uint32_t Child(uint32_t slot) const { return slot + 1; }
  uint32_t Label(uint32_t c) const { return records_[c].label(); }
  bool Terminal(uint32_t c) const { return records_[c].terminal(); }

 private:
  const uint32_t* shifts_;
  size_t shift_count_;
  uint32_t slot_count_;
  const SearchRecord* records_;
};

class CheckedAccess {
 public:
  explicit CheckedAccess(const SearchIndex& index)
      : CheckedAccess(index.trie()) {}
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

 private:
  const Trie& t_;
};

}  // namespace quillomar
