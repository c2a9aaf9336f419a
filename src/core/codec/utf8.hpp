// UTF-8 decoding and encoding: the label encoding of a stored index, the
// query text handed in from Python, the labels read from caller arrays and
// the terms of a build all go through these functions.
//
// Valid means one Unicode scalar value in its shortest form: no overlong
// form, no surrogate (U+D800 to U+DFFF), nothing above U+10FFFF.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quillomar::codec {

inline constexpr uint32_t kReplacementCharacter = 0xFFFD;

// The length (1 to 4) of the sequence that lead byte `b` announces, or 0
// for a byte that cannot start one (0x80 to 0xC1, 0xF5 to 0xFF).
constexpr size_t Utf8Width(uint8_t b) {
  return b < 0x80                 ? 1
         : b >= 0xC2 && b <= 0xDF ? 2
         : b >= 0xE0 && b <= 0xEF ? 3
         : b >= 0xF0 && b <= 0xF4 ? 4
                                  : 0;
}

// Decodes the `w` bytes at p as one code point. False when they are not
// a valid encoding.
// REQUIRES: w == Utf8Width(p[0]) != 0 and w bytes readable at p.
inline bool DecodeUtf8(const uint8_t* p, size_t w, uint32_t& out) {
  const uint8_t b0 = p[0];
  if (w == 1) {
    out = b0;
    return true;
  }
  // The second byte's range excludes overlong forms (E0, F0), surrogates
  // (ED) and values above U+10FFFF (F4); later bytes are plain
  // continuation bytes.
  const uint8_t lo = b0 == 0xE0 ? 0xA0 : b0 == 0xF0 ? 0x90 : 0x80;
  const uint8_t hi = b0 == 0xED ? 0x9F : b0 == 0xF4 ? 0x8F : 0xBF;
  bool ok = p[1] >= lo && p[1] <= hi;
  for (size_t i = 2; i < w; ++i) ok = ok && (p[i] & 0xC0) == 0x80;
  if (!ok) return false;
  uint32_t c = b0 & (0x7F >> w);
  for (size_t i = 1; i < w; ++i) c = (c << 6) | (p[i] & 0x3F);
  out = c;
  return true;
}

// The code point at p, advancing p past it. A byte that does not start a
// valid encoding within [p, end) yields U+FFFD and advances p by one, so
// decoding never fails and never reads past `end`.
// REQUIRES: p < end.
inline uint32_t NextCodePointLossy(const uint8_t*& p, const uint8_t* end) {
  const size_t w = Utf8Width(*p);
  uint32_t c;
  if (w != 0 && static_cast<size_t>(end - p) >= w && DecodeUtf8(p, w, c)) {
    p += w;
    return c;
  }
  p += 1;
  return kReplacementCharacter;
}

// The code point at p in text already checked to be valid UTF-8, advancing
// p past it. Reads only the bytes of that code point.
inline uint32_t NextCodePointOfValid(const uint8_t*& p) {
  const uint32_t b0 = p[0];
  if (b0 < 0x80) {
    p += 1;
    return b0;
  }
  if (b0 < 0xE0) {
    const uint32_t c = (b0 & 0x1F) << 6 | (p[1] & 0x3F);
    p += 2;
    return c;
  }
  if (b0 < 0xF0) {
    const uint32_t c = (b0 & 0x0F) << 12 | (p[1] & 0x3Fu) << 6 | (p[2] & 0x3F);
    p += 3;
    return c;
  }
  const uint32_t c = (b0 & 0x07) << 18 | (p[1] & 0x3Fu) << 12 |
                     (p[2] & 0x3Fu) << 6 | (p[3] & 0x3F);
  p += 4;
  return c;
}

// The number of code points in valid UTF-8 text: its bytes that are not
// continuation bytes.
inline size_t CountCodePoints(std::string_view s) {
  size_t n = 0;
  for (unsigned char c : s) n += (c & 0xC0) != 0x80;
  return n;
}

// Encoded size of a Unicode scalar value: 1 to 4.
constexpr size_t Utf8Size(uint32_t c) {
  return 1 + static_cast<size_t>(c >= 0x80) + static_cast<size_t>(c >= 0x800) +
         static_cast<size_t>(c >= 0x10000);
}

// Writes c at p and returns the position after it.
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
