// A map from 32-bit keys (video numbers) to small values, for per-call and
// per-node accumulation, over the core's open-addressing table. Emptying it
// is O(1) (stamped slots).
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/memory/open_table.hpp"

namespace quillomar::memory {

template <class Value>
class IdMap {
 public:
  // `expected`: a hint for the number of distinct keys. `seed` is mixed into
  // every hash, so a caller can keep a fixed set of keys from colliding in
  // every run; no result may depend on it.
  explicit IdMap(size_t expected = 0, uint64_t seed = 0)
      : table_(expected), seed_(seed) {}

  // The value of `key`, value-initialised when first met; `inserted` tells
  // which. The reference stays valid until the next insertion.
  Value& FindOrInsert(uint32_t key, bool& inserted) {
    const uint64_t hash = key ^ seed_;
    size_t i =
        table_.Probe(hash, [key](const Slot& s) { return s.key == key; });
    inserted = !table_.Used(table_.at(i));
    if (inserted) {
      i = table_.Fill(i, Slot{table_.generation(), key, Value{}},
                      [this](const Slot& s) { return s.key ^ seed_; });
    }
    return table_.at(i).value;
  }

  Value& operator[](uint32_t key) {
    bool inserted;
    return FindOrInsert(key, inserted);
  }

  size_t size() const { return table_.size(); }

  // Removes every entry; keeps the slots for reuse.
  void Clear() { table_.Clear(); }

  // Calls f(key, value) for every entry, in no particular order.
  template <class F>
  void ForEach(F&& f) const {
    for (const Slot& s : table_.slots()) {
      if (table_.Used(s)) f(s.key, s.value);
    }
  }

 private:
  struct Slot {
    static constexpr bool kStamped = true;
    static bool Used(const Slot& s, uint32_t generation) {
      return s.stamp == generation;
    }
    uint32_t stamp = 0;
    uint32_t key = 0;
    Value value{};
  };

  OpenTable<Slot> table_;
  uint64_t seed_;
};

}  // namespace quillomar::memory
