// Writing side of the variable-length unsigned integer and the other
// primitive forms of a stored index (docs/format.md). The writer always uses
// the shortest form.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace quillomar::codec {

inline constexpr uint8_t kMaxSingleByte = 250;
inline constexpr uint8_t kMarker16 = 0xFB;
inline constexpr uint8_t kMarker32 = 0xFC;
inline constexpr uint8_t kMarker64 = 0xFD;
inline constexpr uint8_t kMarker128 = 0xFE;

// Encoded size of a 32-bit value: 1, 3 or 5. Branch-free so that summing it
// over an array vectorises.
constexpr size_t VarintSize32(uint32_t v) {
  return 1 + 2 * static_cast<size_t>(v > kMaxSingleByte) +
         2 * static_cast<size_t>(v > 0xFFFF);
}

// Encoded size of a 64-bit value (a sequence count): 1, 3, 5 or 9.
constexpr size_t VarintSize64(uint64_t v) {
  return v <= 0xFFFFFFFFu ? VarintSize32(static_cast<uint32_t>(v)) : 9;
}

// The sum of f(i) over i < n, taken in 32-bit lanes over blocks of kBlock
// values and widened per block: narrow lanes let the loop vectorise, and
// the blocks keep them from wrapping.
// REQUIRES: f(i) <= (2^32 - 1) / kBlock for every i.
template <size_t kBlock, class F>
inline size_t BlockSum32(size_t n, F f) {
  size_t total = 0;
  for (size_t at = 0; at < n; at += kBlock) {
    const size_t end = std::min(n, at + kBlock);
    uint32_t block = 0;
    for (size_t i = at; i < end; ++i) block += f(i);
    total += block;
  }
  return total;
}

// Total encoded size of a run of 32-bit values.
inline size_t SumVarintSize32(std::span<const uint32_t> values) {
  const uint32_t* v = values.data();
  const size_t extra =
      BlockSum32<size_t{1} << 30>(values.size(), [v](size_t i) {
        return static_cast<uint32_t>(v[i] > kMaxSingleByte) +
               static_cast<uint32_t>(v[i] > 0xFFFF);
      });
  return values.size() + 2 * extra;
}

inline void StoreLe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

inline void StoreLe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

inline void StoreLe64(uint8_t* p, uint64_t v) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(p, &v, 8);
  } else {
    StoreLe32(p, static_cast<uint32_t>(v));
    StoreLe32(p + 4, static_cast<uint32_t>(v >> 32));
  }
}

// Each Write* stores one value at p and returns the position after it.
// REQUIRES: the encoded size of the value is writable at p.
inline uint8_t* WriteVarint32(uint8_t* p, uint32_t v) {
  if (v <= kMaxSingleByte) {
    *p = static_cast<uint8_t>(v);
    return p + 1;
  }
  if (v <= 0xFFFF) {
    p[0] = kMarker16;
    StoreLe16(p + 1, static_cast<uint16_t>(v));
    return p + 3;
  }
  p[0] = kMarker32;
  StoreLe32(p + 1, v);
  return p + 5;
}

// As WriteVarint32, with one unconditional 8-byte store and no branch: the
// bytes after the value's own are garbage for the next writes to cover.
// Encoded sizes vary unpredictably (video numbers straddle 65535), so this
// beats a branch per value.
// REQUIRES: 8 bytes writable at p.
inline uint8_t* WriteVarint32Wide(uint8_t* p, uint32_t v) {
  const uint64_t big = v > kMaxSingleByte;
  const uint64_t huge = v > 0xFFFF;
  const uint64_t marked = (static_cast<uint64_t>(v) << 8) | (kMarker16 + huge);
  StoreLe64(p, big ? marked : v);
  return p + 1 + 2 * big + 2 * huge;
}

// Writes n values one after the other: unchecked wide stores while even the
// widest forms leave 8 bytes before `end`, then exact stores.
// REQUIRES: the values' encoded sizes fit in [p, end).
inline uint8_t* WriteVarint32Run(uint8_t* p, const uint8_t* end,
                                 const uint32_t* values, size_t n) {
  size_t i = 0;
  while (i < n && end - p >= 8 + 5) {
    const size_t stop = std::min(n, i + static_cast<size_t>(end - p - 8) / 5);
    for (; i < stop; ++i) p = WriteVarint32Wide(p, values[i]);
  }
  for (; i < n; ++i) p = WriteVarint32(p, values[i]);
  return p;
}

inline uint8_t* WriteVarint64(uint8_t* p, uint64_t v) {
  if (v <= 0xFFFFFFFFu) return WriteVarint32(p, static_cast<uint32_t>(v));
  p[0] = kMarker64;
  StoreLe64(p + 1, v);
  return p + 9;
}

}  // namespace quillomar::codec
