#include "python_common/int_buffer.hpp"

#include <cstring>
#include <string_view>
#include <type_traits>

#include "python_common/buffer_view.hpp"

namespace quillomar::py {
namespace {

// Integer struct codes: the signed ones, then their unsigned forms.
constexpr std::string_view kSignedCodes = "bhilqn";
constexpr std::string_view kUnsignedCodes = "BHILQN";

template <class T>
size_t CopyAs(const char* p, ptrdiff_t stride, size_t n, uint32_t* dst) {
  for (size_t i = 0; i < n; ++i, p += stride) {
    T v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::is_signed_v<T>) {
      if (v < 0) return i;
    }
    if constexpr (sizeof(T) > 4) {
      if (static_cast<uint64_t>(v) > UINT32_MAX) return i;
    }
    dst[i] = static_cast<uint32_t>(v);
  }
  return n;
}

// CopyAs for the signed or the unsigned element type of one width.
template <class Signed, class Unsigned>
size_t CopyAs(bool is_signed, const char* p, ptrdiff_t stride, size_t n,
              uint32_t* dst) {
  return is_signed ? CopyAs<Signed>(p, stride, n, dst)
                   : CopyAs<Unsigned>(p, stride, n, dst);
}

}  // namespace

std::optional<IntFormat> NativeIntFormat(const Py_buffer& view) {
  const char* fmt = NativeElementFormat(view);
  if (fmt[0] == '\0' || fmt[1] != '\0') return std::nullopt;
  const bool is_signed = kSignedCodes.find(fmt[0]) != std::string_view::npos;
  if (!is_signed && kUnsignedCodes.find(fmt[0]) == std::string_view::npos) {
    return std::nullopt;
  }
  const auto size = static_cast<size_t>(view.itemsize);
  if (size != 1 && size != 2 && size != 4 && size != 8) return std::nullopt;
  return IntFormat{is_signed, size};
}

size_t CopyU32InRange(IntFormat f, const char* p, ptrdiff_t stride, size_t n,
                      uint32_t* dst) {
  switch (f.size) {
    case 1:
      return CopyAs<int8_t, uint8_t>(f.is_signed, p, stride, n, dst);
    case 2:
      return CopyAs<int16_t, uint16_t>(f.is_signed, p, stride, n, dst);
    case 4:
      return CopyAs<int32_t, uint32_t>(f.is_signed, p, stride, n, dst);
    default:
      return CopyAs<int64_t, uint64_t>(f.is_signed, p, stride, n, dst);
  }
}

}  // namespace quillomar::py
