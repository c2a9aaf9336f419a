// The open-addressing table under every keyed store of the core: one flat
// power-of-two array of slots, linear probing from a key's home slot (the
// top bits of its hash times the golden ratio), grown by doubling once more
// than kMaxLoadPercent of the slots are used. The table knows nothing of
// keys: callers probe with a hash and a predicate and fill the free slot the
// probe ends at.
//
// A Slot type provides
//   static bool Used(const Slot&, uint32_t generation);
// and Slot{} is free in every generation. A stamped slot (kStamped true, a
// `stamp` member) is used only while its stamp is the table's current
// generation, which lets Clear() free every slot in O(1).
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace quillomar::memory {

template <class Slot>
concept StampedSlot = requires(Slot s) {
  requires Slot::kStamped;
  s.stamp = uint32_t{};
};

template <class Slot, unsigned kMaxLoadPercent = 50>
class OpenTable {
  static_assert(kMaxLoadPercent > 0 && kMaxLoadPercent < 100);

 public:
  // `expected`: a hint for the number of used slots.
  explicit OpenTable(size_t expected = 0) {
    size_t n = kMinSlots;
    while (n * kMaxLoadPercent < expected * 100 && n < (size_t{1} << 40)) {
      n *= 2;
    }
    Allocate(n);
  }

  size_t size() const { return size_; }
  // Every slot, used or not (test with Used()).
  std::span<const Slot> slots() const { return slots_; }
  bool Used(const Slot& s) const { return Slot::Used(s, generation_); }
  // What a stamped slot carries while used.
  uint32_t generation() const { return generation_; }

  Slot& at(size_t i) { return slots_[i]; }
  const Slot& at(size_t i) const { return slots_[i]; }

  // The index of the first used slot from `hash`'s home on for which
  // matches(slot) holds, or of the free slot that ends the probe.
  template <class Matches>
  size_t Probe(uint64_t hash, Matches&& matches) const {
    size_t i = Home(hash);
    while (Used(slots_[i]) && !matches(slots_[i])) i = (i + 1) & mask_;
    return i;
  }

  // Hints that `hash` is about to be probed.
  void Prefetch(uint64_t hash) const {
    __builtin_prefetch(&slots_[Home(hash)]);
  }

  // Puts `slot` (used) into the free slot `i` a Probe() ended at and returns
  // its index, which differs from `i` when the table grew: growing rehashes
  // every used slot s by hash_of(s) and invalidates earlier indexes and
  // references.
  template <class HashOf>
  size_t Fill(size_t i, const Slot& slot, HashOf&& hash_of) {
    slots_[i] = slot;
    if (++size_ * 100 <= slots_.size() * kMaxLoadPercent) return i;
    return Grow(i, hash_of);
  }

  // Frees every slot and keeps the array for reuse. O(1) except once every
  // 2^32 - 1 calls, when the generations wrap.
  void Clear() requires StampedSlot<Slot> {
    size_ = 0;
    if (++generation_ == 0) {
      std::fill(slots_.begin(), slots_.end(), Slot{});
      generation_ = 1;
    }
  }

 private:
  static constexpr size_t kMinSlots = 32;
  static constexpr uint64_t kGolden = 0x9E3779B97F4A7C15ull;

  size_t Home(uint64_t hash) const {
    return static_cast<size_t>((hash * kGolden) >> shift_);
  }

  void Allocate(size_t n) {
    slots_.assign(n, Slot{});
    mask_ = n - 1;
    shift_ = 64 - static_cast<unsigned>(std::countr_zero(n));
  }

  // Doubles the array; returns where the used slot `track` went.
  template <class HashOf>
  size_t Grow(size_t track, HashOf& hash_of) {
    std::vector<Slot> old = std::move(slots_);
    const uint32_t old_generation = generation_;
    Allocate(old.size() * 2);
    generation_ = 1;
    size_t tracked = 0;
    for (size_t k = 0; k < old.size(); ++k) {
      Slot s = old[k];
      if (!Slot::Used(s, old_generation)) continue;
      if constexpr (StampedSlot<Slot>) s.stamp = generation_;
      size_t i = Home(hash_of(s));
      while (Used(slots_[i])) i = (i + 1) & mask_;
      slots_[i] = s;
      if (k == track) tracked = i;
    }
    return tracked;
  }

  std::vector<Slot> slots_;
  size_t mask_ = 0;
  unsigned shift_ = 0;
  uint32_t generation_ = 1;
  size_t size_ = 0;
};

}  // namespace quillomar::memory
