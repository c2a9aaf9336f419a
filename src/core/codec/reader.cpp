#include "core/codec/reader.hpp"

#include <cstring>

#include "core/codec/utf8.hpp"

namespace quillomar::codec {

bool ReadMultiByteCodePoint(const uint8_t*& p, const uint8_t* limit,
                            uint32_t& out, DecodeError& err) {
  if (p == limit) return Fail(err, DecodeError::UnexpectedEnd(1));
  const size_t w = Utf8Width(p[0]);
  if (w == 0) return Fail(err, DecodeError::InvalidCharEncoding(p, 1));
  const size_t r = static_cast<size_t>(limit - p);
  if (r < w) return Fail(err, DecodeError::UnexpectedEnd(w - r));
  if (!DecodeUtf8(p, w, out)) {
    return Fail(err, DecodeError::InvalidCharEncoding(p, w));
  }
  p += w;
  return true;
}

bool ReadBytes16(const uint8_t*& p, const uint8_t* limit, uint8_t* out,
                 DecodeError& err) {
  const size_t r = static_cast<size_t>(limit - p);
  if (r < 16) return Fail(err, DecodeError::UnexpectedEnd(16 - r));
  std::memcpy(out, p, 16);
  p += 16;
  return true;
}

}  // namespace quillomar::codec
