// Where each code point occurs in the query, as one 64-bit mask per distinct
// code point: bit i + offset is set when query position i holds it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>

namespace quillomar {

class QueryMasks {
 public:
  // The most query positions a mask can hold at a given offset.
  static constexpr size_t Capacity(unsigned offset) { return 64 - offset; }

  // REQUIRES: query.size() <= Capacity(offset). Code point 0 is left out:
  // the walk never compares a label 0.
  QueryMasks(std::span<const uint32_t> query, unsigned offset) {
    for (size_t i = 0; i < query.size(); ++i) {
      const uint32_t cp = query[i];
      const uint64_t bit = uint64_t{1} << (i + offset);
      if (cp == 0) continue;
      if (cp < kDirect) {
        direct_[cp] |= bit;
        continue;
      }
      if (!has_high_) {
        has_high_ = true;
        std::fill(std::begin(keys_), std::end(keys_), 0u);
        std::fill(std::begin(masks_), std::end(masks_), uint64_t{0});
      }
      // At most 64 distinct code points in 128 slots: never full.
      size_t s = cp & kMask;
      while (keys_[s] != 0 && keys_[s] != cp) s = (s + 1) & kMask;
      keys_[s] = cp;
      masks_[s] |= bit;
    }
  }

  // The mask of `cp`; 0 when it does not occur in the query. Code points
  // below 256 (every label of most Latin-script indexes) take one load and
  // a well-predicted branch, so a scan over many labels stays branch-free.
  uint64_t Of(uint32_t cp) const {
    if (cp < kDirect) [[likely]] {
      return direct_[cp];
    }
    if (!has_high_) return 0;
    size_t s = cp & kMask;
    while (keys_[s] != cp) {
      if (keys_[s] == 0) return 0;
      s = (s + 1) & kMask;
    }
    return masks_[s];
  }

 private:
  static constexpr uint32_t kDirect = 256;
  static constexpr size_t kSize = 128;
  static constexpr size_t kMask = kSize - 1;
  uint64_t direct_[kDirect] = {};
  // The table of code points from 256 up, cleared only for a query that
  // has one.
  bool has_high_ = false;
  uint32_t keys_[kSize];  // 0 marks an empty slot
  uint64_t masks_[kSize];
};

}  // namespace quillomar
