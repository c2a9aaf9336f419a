#include "python_build/buffer_columns.hpp"

#include <cstring>
#include <optional>
#include <string>

#include "python_common/errors.hpp"

namespace quillomar::py {

namespace {

// The element kind of the integer column in `buffer`, or TypeError.
IntFormat IntFormatOf(const BufferView& buffer, const char* what) {
  const std::optional<IntFormat> f = NativeIntFormat(buffer.view());
  if (!f) {
    Raise(PyExc_TypeError, std::string(what) + " must be a buffer of integers");
  }
  return *f;
}

// The integer of width `w` (1, 2, 4 or 8 bytes) at `p`, widened to 64 bits:
// I8 .. I64 are the four types of one signedness.
template <class I8, class I16, class I32, class I64>
I64 LoadWidened(const char* p, size_t w) {
  auto load = [p](auto v) -> I64 {
    std::memcpy(&v, p, sizeof v);
    return v;
  };
  return w == 1   ? load(I8{})
         : w == 2 ? load(I16{})
         : w == 4 ? load(I32{})
                  : load(I64{});
}

}  // namespace

IntColumn::IntColumn(PyObject* o, const char* what)
    : buffer_(o, what),
      format_(IntFormatOf(buffer_, what)),
      size_(buffer_.bytes() / format_.size) {}

int64_t IntColumn::signed_at(size_t i) const {
  return LoadWidened<int8_t, int16_t, int32_t, int64_t>(
      buffer_.data() + i * format_.size, format_.size);
}

uint64_t IntColumn::unsigned_at(size_t i) const {
  return LoadWidened<uint8_t, uint16_t, uint32_t, uint64_t>(
      buffer_.data() + i * format_.size, format_.size);
}

size_t IntColumn::ToU32(std::vector<uint32_t>& out, bool is_id,
                        const char* what, std::string& message) const {
  out.resize(size_);
  const size_t bad =
      CopyU32InRange(format_, buffer_.data(),
                     static_cast<ptrdiff_t>(format_.size), size_, out.data());
  if (bad == size_) return SIZE_MAX;
  const bool negative = format_.is_signed && signed_at(bad) < 0;
  const std::string value = negative ? std::to_string(signed_at(bad))
                                     : std::to_string(unsigned_at(bad));
  message = std::string(what) + " " + value;
  if (is_id) {
    message += " is outside 0..4294967295";
  } else {
    message += negative ? " is negative" : " is above 4294967295";
  }
  return bad;
}

void ReadOffsets(PyObject* o, size_t data_bytes, std::vector<uint64_t>& out) {
  IntColumn column(o, "term offsets");
  const size_t n = column.size();
  out.resize(n);
  for (size_t i = 0; i < n; ++i) {
    if (column.is_signed() && column.signed_at(i) < 0) {
      Raise(PyExc_ValueError, "term offsets must not be negative");
    }
    out[i] = column.unsigned_at(i);
    if (out[i] > data_bytes || (i > 0 && out[i] < out[i - 1])) {
      Raise(PyExc_ValueError,
            "term offsets must not decrease nor pass the end of the data");
    }
  }
  if (n == 0) out.push_back(0);
}

void SplitAtNul(std::string_view data, size_t rows,
                std::vector<uint64_t>& out) {
  out.clear();
  out.reserve(rows + 1);
  out.push_back(0);
  const char* const base = data.data();
  const char* p = base;
  const char* const end = base + data.size();
  while (p < end) {
    const void* hit = std::memchr(p, 0, static_cast<size_t>(end - p));
    if (hit == nullptr) break;
    p = static_cast<const char*>(hit) + 1;
    out.push_back(static_cast<uint64_t>(p - base));
  }
  if (out.size() != rows + 1 || out.back() != data.size()) {
    Raise(PyExc_ValueError, "terms must be NUL-terminated, one per count");
  }
}

}  // namespace quillomar::py
