// Hash functions and seeds for the core's hash tables. Not for security: the
// tables grow at a bounded load and probe linearly, and a seed drawn per
// table keeps a crafted log or index from lining up its keys in every run.
// No result may depend on a seed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quillomar::memory {

inline uint64_t Mix64(uint64_t x) {
  x ^= x >> 32;
  x *= 0xD6E8FEB86659FD93ull;
  x ^= x >> 32;
  x *= 0xD6E8FEB86659FD93ull;
  x ^= x >> 32;
  return x;
}

inline uint64_t HashBytes(const void* data, size_t n, uint64_t seed) {
  const auto* p = static_cast<const unsigned char*>(data);
  uint64_t h = seed ^ (n * 0x9E3779B97F4A7C15ull);
  while (n >= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    h = (h ^ Mix64(w)) * 0x9E3779B97F4A7C15ull;
    p += 8;
    n -= 8;
  }
  uint64_t tail = 0;
  std::memcpy(&tail, p, n);
  h = (h ^ Mix64(tail ^ (uint64_t{n} << 56))) * 0x9E3779B97F4A7C15ull;
  return Mix64(h);
}

// A seed that differs between tables and runs.
uint64_t NewSeed();

}  // namespace quillomar::memory
