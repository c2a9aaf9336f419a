#include "core/codec/reader.hpp"

#include <array>
#include <cstring>

namespace quillomar::codec {

void SetUnexpectedEnd(DecodeError& err, size_t additional) {
  err = DecodeError::UnexpectedEnd(additional);
}

void SetIntegerMarker(DecodeError& err, IntegerType expected, uint8_t marker) {
  const IntegerType found = marker == kMarker64    ? IntegerType::kU64
                            : marker == kMarker128 ? IntegerType::kU128
                                                   : IntegerType::kReserved;
  err = DecodeError::InvalidIntegerType(expected, found);
}

void SetOutsideUsizeRange(DecodeError& err, uint64_t count) {
  err = DecodeError::OutsideUsizeRange(count);
}

void SetCharEncoding(DecodeError& err, const uint8_t* bytes, size_t n) {
  std::array<uint8_t, 4> four{};
  std::memcpy(four.data(), bytes, n < 4 ? n : 4);
  err = DecodeError::InvalidCharEncoding(four);
}

void SetBoolean(DecodeError& err, uint8_t byte) {
  err = DecodeError::InvalidBooleanValue(byte);
}

bool ReadMultiByteCodePoint(const uint8_t*& p, const uint8_t* limit,
                            uint32_t& out, DecodeError& err) {
  if (p == limit) return FailUnexpectedEnd(err, 1);
  const uint8_t b0 = p[0];
  size_t w;
  // The second byte's range excludes overlong forms (E0, F0), surrogates
  // (ED) and values above U+10FFFF (F4); later bytes are plain
  // continuation bytes.
  uint8_t lo = 0x80;
  uint8_t hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    w = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    w = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    w = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return FailCharEncoding(err, p, 1);
  }
  const size_t r = static_cast<size_t>(limit - p);
  if (r < w) return FailUnexpectedEnd(err, w - r);
  bool ok = p[1] >= lo && p[1] <= hi;
  for (size_t i = 2; i < w; ++i) ok = ok && (p[i] & 0xC0) == 0x80;
  if (!ok) return FailCharEncoding(err, p, w);
  uint32_t c = b0 & (0x7F >> w);
  for (size_t i = 1; i < w; ++i) c = (c << 6) | (p[i] & 0x3F);
  out = c;
  p += w;
  return true;
}

bool ReadBytes16(const uint8_t*& p, const uint8_t* limit, uint8_t* out,
                 DecodeError& err) {
  const size_t r = static_cast<size_t>(limit - p);
  if (r < 16) return FailUnexpectedEnd(err, 16 - r);
  std::memcpy(out, p, 16);
  p += 16;
  return true;
}

}  // namespace quillomar::codec
