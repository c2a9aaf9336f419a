// Buffers of integers in native byte order, and their copy into unsigned
// 32-bit values with every element's range checked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "python_common/py_ref.hpp"

namespace quillomar::py {

// Element kind of a buffer of integers.
struct IntFormat {
  bool is_signed;
  size_t size;  // 1, 2, 4 or 8 bytes
};

// The element kind of `view` when its format is one integer code of the
// struct module (b h i l q n, or B H I L Q N unsigned) in native order and
// its items are 1, 2, 4 or 8 bytes wide; nullopt otherwise.
std::optional<IntFormat> NativeIntFormat(const Py_buffer& view);

// Copies `n` integers of kind `f`, the i-th at `p + i * stride`, into `dst`
// up to the first one outside 0..4294967295. Returns that element's
// position, or `n` when every one fits.
size_t CopyU32InRange(IntFormat f, const char* p, ptrdiff_t stride, size_t n,
                      uint32_t* dst);

}  // namespace quillomar::py
