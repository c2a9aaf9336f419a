// Combining payload lists: the counts of equal video numbers are summed in 64
// bits, the combined entries are ordered by (sum descending, video number
// ascending) and each sum is stored saturated at 4294967295 (never reduced
// modulo 2^32, which would turn a huge count into a tiny one).
//
// Because the order is total, the result of combining several lists does not
// depend on the order in which they are added, so a node folds all of its
// children in one pass instead of rebuilding a growing list per child.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/memory/id_map.hpp"

namespace quillomar {

// Saturating store of a 64-bit sum into an unsigned 32-bit count.
inline uint32_t SaturateU32(uint64_t v) {
  return v > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(v);
}

// Reusable working storage for combining lists. One instance serves any
// number of combinations; after the first few it allocates nothing more
// unless a combination has more distinct ids than any before it.
//
// Use: Reset(), then Add() each list, then Finish().
class PayloadMerger {
 public:
  PayloadMerger();

  // Starts a new, empty combination. O(1).
  void Reset();

  // Adds ids[i] with counts[i] for each i < ids.size().
  // REQUIRES: counts.size() >= ids.size() (surplus counts are ignored).
  void Add(std::span<const uint32_t> ids, std::span<const uint32_t> counts);

  // Orders the combined entries by (sum descending, id ascending) and
  // appends the first min(distinct(), top_n) of them to out_ids/out_counts,
  // counts saturated. Returns the number appended. Leaves the combination
  // in an unspecified state; call Reset() before the next one.
  size_t Finish(uint32_t top_n, std::vector<uint32_t>& out_ids,
                std::vector<uint32_t>& out_counts);

 private:
  struct Entry {
    uint64_t sum;
    uint32_t id;
  };

  // Up to this many entries are collected raw and combined by sorting in
  // Finish(); beyond it every id goes through the hash map.
  static constexpr size_t kSmall = 24;

  void Insert(uint32_t id, uint64_t count);
  void SwitchToHash();
  // Ranks entries[0 .. n) and appends the first min(n, top_n).
  size_t Emit(Entry* entries, size_t n, uint64_t max_sum, uint32_t top_n,
              std::vector<uint32_t>& out_ids,
              std::vector<uint32_t>& out_counts);

  memory::IdMap<uint32_t> index_;  // id -> its entry in entries_
  Entry small_pairs_[kSmall];      // raw pairs while small_
  size_t small_count_ = 0;
  std::vector<Entry> entries_;  // distinct ids once hashed
  std::vector<uint64_t> keys_;  // scratch for ranking in Finish()
  bool small_ = true;
};

}  // namespace quillomar
