// Writing side of the variable-length unsigned integer and the other
// primitive encodings of a stored index.
//
// A variable-length integer is one byte for 0..250; otherwise a marker byte
// followed by a little-endian value of fixed width:
//   0xFB + 2 bytes, 0xFC + 4 bytes, 0xFD + 8 bytes (64-bit form only).
// 0xFE (a 16-byte value) and 0xFF (reserved) are never written. The writer
// always uses the shortest form.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillomar::codec {

inline constexpr uint8_t kMaxSingleByte = 250;
inline constexpr uint8_t kMarker16 = 0xFB;
inline constexpr uint8_t kMarker32 = 0xFC;
inline constexpr uint8_t kMarker64 = 0xFD;
inline constexpr uint8_t kMarker128 = 0xFE;
inline constexpr uint8_t kMarkerReserved = 0xFF;

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

// Encoded size of a Unicode scalar value in UTF-8: 1 to 4.
constexpr size_t Utf8Size(uint32_t c) {
  return 1 + static_cast<size_t>(c >= 0x80) + static_cast<size_t>(c >= 0x800) +
         static_cast<size_t>(c >= 0x10000);
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
  StoreLe32(p, static_cast<uint32_t>(v));
  StoreLe32(p + 4, static_cast<uint32_t>(v >> 32));
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

inline uint8_t* WriteVarint64(uint8_t* p, uint64_t v) {
  if (v <= 0xFFFFFFFFu) return WriteVarint32(p, static_cast<uint32_t>(v));
  p[0] = kMarker64;
  StoreLe64(p + 1, v);
  return p + 9;
}

// REQUIRES: c is a Unicode scalar value (at most 0x10FFFF, not a surrogate);
// anything else is written as if it were one, never beyond Utf8Size(c).
inline uint8_t* WriteUtf8(uint8_t* p, uint32_t c) {
  if (c < 0x80) {
    *p = static_cast<uint8_t>(c);
    return p + 1;
  }
  if (c < 0x800) {
    p[0] = static_cast<uint8_t>(0xC0 | (c >> 6));
    p[1] = static_cast<uint8_t>(0x80 | (c & 0x3F));
    return p + 2;
  }
  if (c < 0x10000) {
    p[0] = static_cast<uint8_t>(0xE0 | (c >> 12));
    p[1] = static_cast<uint8_t>(0x80 | ((c >> 6) & 0x3F));
    p[2] = static_cast<uint8_t>(0x80 | (c & 0x3F));
    return p + 3;
  }
  p[0] = static_cast<uint8_t>(0xF0 | ((c >> 18) & 0x07));
  p[1] = static_cast<uint8_t>(0x80 | ((c >> 12) & 0x3F));
  p[2] = static_cast<uint8_t>(0x80 | ((c >> 6) & 0x3F));
  p[3] = static_cast<uint8_t>(0x80 | (c & 0x3F));
  return p + 4;
}

}  // namespace quillomar::codec
