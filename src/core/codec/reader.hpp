// Reading side of the primitive forms of a stored index (docs/format.md).
//
// Every Read* function looks only at bytes in [p, limit). On success it
// stores the value, advances p past it and returns true. On failure it
// leaves p unchanged, stores the error in `err` and returns false; `out` is
// then unspecified.
//
// When the input ends inside a value, the error is UnexpectedEnd with
// `additional` = (bytes the value needs) - (bytes left when it began), where
// a variable-length integer needs 3, 5 or 9 bytes by its marker, a code point
// the length its first byte announces, and a 16-byte identifier 16. Any
// other value, and any value at all with no byte left, needs 1.
//
// REQUIRES (all functions): p <= limit, both within one array.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/codec/decode_error.hpp"
#include "core/codec/varint.hpp"

namespace quillomar::codec {

inline uint16_t LoadLe16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t LoadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

inline uint64_t LoadLe64(const uint8_t* p) {
  if constexpr (std::endian::native == std::endian::little) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
  } else {
    return static_cast<uint64_t>(LoadLe32(p)) |
           (static_cast<uint64_t>(LoadLe32(p + 4)) << 32);
  }
}

// Reads a variable-length integer of at most 5 bytes (markers up to 0xFC)
// with one 8-byte load. Returns false, touching nothing, when the first
// byte is 0xFD or above; the caller then uses the checked reader, which
// reports or handles that marker. One-byte values take a branch, which is
// well predicted for the small counts and totals that dominate; the 3- and
// 5-byte forms, which mix unpredictably for video numbers around 65535,
// are told apart without one.
// REQUIRES: 8 bytes readable at p.
inline bool ReadVarint32Wide(const uint8_t*& p, uint32_t& out) {
  const uint32_t b = *p;
  if (b <= kMaxSingleByte) {
    out = b;
    p += 1;
    return true;
  }
  if (b > kMarker32) return false;
  const uint64_t w = LoadLe64(p) >> 8;
  const uint32_t wide = b == kMarker32;
  out = static_cast<uint32_t>(wide ? w : w & 0xFFFF);
  p += 3 + 2 * wide;
  return true;
}

// Stores `e` in `err` and returns false, so a reader fails in one
// statement. The error factories are cold and out of line, which keeps the
// read loops small.
inline bool Fail(DecodeError& err, const DecodeError& e) {
  err = e;
  return false;
}

// The integer type a marker byte above kMarker32 announces.
constexpr IntegerType MarkerType(uint8_t marker) {
  return marker == kMarker64    ? IntegerType::kU64
         : marker == kMarker128 ? IntegerType::kU128
                                : IntegerType::kReserved;
}

// A variable-length integer read as `kTarget` (U32 or U64), whose value
// must be below 2^32 either way. The 32-bit form refuses markers 0xFD to
// 0xFF, also when the value would fit; the 64-bit form (sequence counts)
// takes 0xFD and refuses a value of 2^32 or more as OutsideUsizeRange.
template <IntegerType kTarget>
[[nodiscard]] inline bool ReadVarint(const uint8_t*& p, const uint8_t* limit,
                                     uint32_t& out, DecodeError& err) {
  static_assert(kTarget == IntegerType::kU32 || kTarget == IntegerType::kU64);
  const size_t r = static_cast<size_t>(limit - p);
  if (r == 0) return Fail(err, DecodeError::UnexpectedEnd(1));
  const uint8_t b = *p;
  if (b <= kMaxSingleByte) {
    out = b;
    p += 1;
    return true;
  }
  const bool wide = kTarget == IntegerType::kU64 && b == kMarker64;
  if (b != kMarker16 && b != kMarker32 && !wide) {
    return Fail(err, DecodeError::InvalidIntegerType(kTarget, MarkerType(b)));
  }
  const size_t size = b == kMarker16 ? 3 : b == kMarker32 ? 5 : 9;
  if (r < size) return Fail(err, DecodeError::UnexpectedEnd(size - r));
  if (wide) {
    const uint64_t v = LoadLe64(p + 1);
    if (v > 0xFFFFFFFFu) return Fail(err, DecodeError::OutsideUsizeRange(v));
    out = static_cast<uint32_t>(v);
  } else {
    out = size == 3 ? LoadLe16(p + 1) : LoadLe32(p + 1);
  }
  p += size;
  return true;
}

// A 32-bit value.
[[nodiscard]] inline bool ReadU32(const uint8_t*& p, const uint8_t* limit,
                                  uint32_t& out, DecodeError& err) {
  return ReadVarint<IntegerType::kU32>(p, limit, out, err);
}

// A sequence's element count.
[[nodiscard]] inline bool ReadCount(const uint8_t*& p, const uint8_t* limit,
                                    uint32_t& out, DecodeError& err) {
  return ReadVarint<IntegerType::kU64>(p, limit, out, err);
}

// ReadU32 and ReadCount with a branch-free fast path while 8 bytes remain.
[[nodiscard]] inline bool ReadU32Fast(const uint8_t*& p, const uint8_t* limit,
                                      uint32_t& out, DecodeError& err) {
  if (limit - p >= 8 && ReadVarint32Wide(p, out)) return true;
  return ReadU32(p, limit, out, err);
}

[[nodiscard]] inline bool ReadCountFast(const uint8_t*& p, const uint8_t* limit,
                                        uint32_t& out, DecodeError& err) {
  if (limit - p >= 8 && ReadVarint32Wide(p, out)) return true;
  return ReadCount(p, limit, out, err);
}

// A code point of 2 to 4 UTF-8 bytes. The length announced by the first
// byte is checked against the bytes left before the bytes are validated.
[[nodiscard]] bool ReadMultiByteCodePoint(const uint8_t*& p,
                                          const uint8_t* limit, uint32_t& out,
                                          DecodeError& err);

// One Unicode scalar value in UTF-8 (1 to 4 bytes, no length in front; no
// overlong form, no surrogate, nothing above U+10FFFF). 0x00 is valid.
[[nodiscard]] inline bool ReadCodePoint(const uint8_t*& p, const uint8_t* limit,
                                        uint32_t& out, DecodeError& err) {
  if (p == limit) return Fail(err, DecodeError::UnexpectedEnd(1));
  if (*p < 0x80) {
    out = *p;
    p += 1;
    return true;
  }
  return ReadMultiByteCodePoint(p, limit, out, err);
}

// Sixteen bytes as they stand. With r < 16 bytes left the error is
// UnexpectedEnd { additional: 16 - r }, also for r = 0.
// REQUIRES: out has room for 16 bytes.
[[nodiscard]] bool ReadBytes16(const uint8_t*& p, const uint8_t* limit,
                               uint8_t* out, DecodeError& err);

}  // namespace quillomar::codec
