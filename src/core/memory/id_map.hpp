// A map from 32-bit keys (video numbers) to small values, for per-call and
// per-node accumulation: one flat array of slots, open addressing with
// linear probing, Fibonacci hashing, at most half full, grown by doubling.
// Emptying it is O(1): a slot is occupied only while it carries the current
// generation stamp.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace quillomar::memory {

template <class Value>
class IdMap {
 public:
  // `expected`: a hint for the number of distinct keys. `seed` is mixed into
  // every hash, so a caller can keep a fixed set of keys from colliding in
  // every run; no result may depend on it.
  explicit IdMap(size_t expected = 0, uint64_t seed = 0) : seed_(seed) {
    size_t slots = kMinSlots;
    while (slots < 2 * expected && slots < (size_t{1} << 40)) slots *= 2;
    Allocate(slots);
  }

  // The value of `key`, value-initialised when first met; `inserted` tells
  // which. The reference stays valid until the next insertion.
  Value& FindOrInsert(uint32_t key, bool& inserted) {
    size_t i = Home(key);
    while (slots_[i].stamp == stamp_) {
      if (slots_[i].key == key) {
        inserted = false;
        return slots_[i].value;
      }
      i = (i + 1) & mask_;
    }
    if (2 * (size_ + 1) > slots_.size()) {
      Grow();
      i = Home(key);
      while (slots_[i].stamp == stamp_) i = (i + 1) & mask_;
    }
    ++size_;
    slots_[i] = Slot{stamp_, key, Value{}};
    inserted = true;
    return slots_[i].value;
  }

  Value& operator[](uint32_t key) {
    bool inserted;
    return FindOrInsert(key, inserted);
  }

  size_t size() const { return size_; }

  // Removes every entry; keeps the slots for reuse. O(1) except once every
  // 2^32 - 1 calls, when the stamps wrap.
  void Clear() {
    size_ = 0;
    if (++stamp_ == 0) {
      std::fill(slots_.begin(), slots_.end(), Slot{});
      stamp_ = 1;
    }
  }

  // Calls f(key, value) for every entry, in no particular order.
  template <class F>
  void ForEach(F&& f) const {
    for (const Slot& s : slots_) {
      if (s.stamp == stamp_) f(s.key, s.value);
    }
  }

 private:
  static constexpr size_t kMinSlots = 32;

  struct Slot {
    uint32_t stamp = 0;  // occupied iff == stamp_
    uint32_t key = 0;
    Value value{};
  };

  size_t Home(uint32_t key) const {
    return static_cast<size_t>(((key ^ seed_) * 0x9E3779B97F4A7C15ull) >>
                               shift_);
  }

  void Allocate(size_t slots) {
    slots_.assign(slots, Slot{});
    stamp_ = 1;
    mask_ = slots - 1;
    shift_ = 64 - static_cast<unsigned>(std::countr_zero(slots));
  }

  void Grow() {
    std::vector<Slot> old = std::move(slots_);
    const uint32_t old_stamp = stamp_;
    Allocate(old.size() * 2);
    for (const Slot& s : old) {
      if (s.stamp != old_stamp) continue;
      size_t i = Home(s.key);
      while (slots_[i].stamp == stamp_) i = (i + 1) & mask_;
      slots_[i] = Slot{stamp_, s.key, s.value};
    }
  }

  std::vector<Slot> slots_;  // power-of-two size
  uint64_t seed_;
  size_t mask_ = 0;
  unsigned shift_ = 0;
  uint32_t stamp_ = 1;
  size_t size_ = 0;
};

}  // namespace quillomar::memory
