// Counting set bits without a library call.
//
// Unless the compiler may assume the POPCNT instruction (it may not for the
// baseline x86-64 that wheels target), std::popcount becomes a call into
// libgcc with a table walk, in the innermost loops of the walks. These
// branch-free forms compile to a dozen plain instructions, and to the one
// instruction where it exists.
#pragma once

#include <bit>
#include <cstdint>

namespace quillomar {

inline uint32_t BitCount(uint32_t x) {
#ifdef __POPCNT__
  return static_cast<uint32_t>(std::popcount(x));
#else
  x = x - ((x >> 1) & 0x55555555u);
  x = (x & 0x33333333u) + ((x >> 2) & 0x33333333u);
  x = (x + (x >> 4)) & 0x0F0F0F0Fu;
  return (x * 0x01010101u) >> 24;
#endif
}

inline uint32_t BitCount(uint64_t x) {
#ifdef __POPCNT__
  return static_cast<uint32_t>(std::popcount(x));
#else
  x = x - ((x >> 1) & 0x5555555555555555ull);
  x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
  return static_cast<uint32_t>((x * 0x0101010101010101ull) >> 56);
#endif
}

}  // namespace quillomar
