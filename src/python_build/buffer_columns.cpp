#include "python_build/buffer_columns.hpp"

#include <bit>
#include <cstring>
#include <string>

#include "python_build/guard.hpp"

namespace quillomar::pybuild {

BufferView::BufferView(PyObject* o, const char* what) {
  if (PyObject_GetBuffer(o, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) {
    PyErr_Clear();
    Raise(PyExc_TypeError, std::string(what) + " must be a contiguous buffer");
  }
  const char* f = view_.format == nullptr ? "B" : view_.format;
  if (*f == '@' || *f == '=' ||
      (*f == '<' && std::endian::native == std::endian::little)) {
    ++f;
  }
  format_ = f[0] != '\0' && f[1] == '\0' ? f[0] : '?';
}

BufferView::~BufferView() { PyBuffer_Release(&view_); }

namespace {

// Integer struct codes: the signed ones, then their unsigned forms.
constexpr std::string_view kSignedCodes = "bhilqn";
constexpr std::string_view kUnsignedCodes = "BHILQN";

bool IsIntFormat(char f, bool& is_signed) {
  is_signed = kSignedCodes.find(f) != std::string_view::npos;
  return is_signed || kUnsignedCodes.find(f) != std::string_view::npos;
}

template <class T>
T Load(const char* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

}  // namespace

IntColumn::IntColumn(PyObject* o, const char* what) : buffer_(o, what) {
  const size_t item = buffer_.item_size();
  if (!IsIntFormat(buffer_.format(), signed_) ||
      (item != 1 && item != 2 && item != 4 && item != 8)) {
    Raise(PyExc_TypeError, std::string(what) + " must be a buffer of integers");
  }
  size_ = buffer_.bytes() / item;
}

int64_t IntColumn::signed_at(size_t i) const {
  const char* p = buffer_.data() + i * buffer_.item_size();
  const size_t w = buffer_.item_size();
  return w == 1   ? Load<int8_t>(p)
         : w == 2 ? Load<int16_t>(p)
         : w == 4 ? Load<int32_t>(p)
                  : Load<int64_t>(p);
}

uint64_t IntColumn::unsigned_at(size_t i) const {
  const char* p = buffer_.data() + i * buffer_.item_size();
  const size_t w = buffer_.item_size();
  return w == 1   ? Load<uint8_t>(p)
         : w == 2 ? Load<uint16_t>(p)
         : w == 4 ? Load<uint32_t>(p)
                  : Load<uint64_t>(p);
}

namespace {

template <class T>
size_t Convert(const char* p, size_t n, uint32_t* out) {
  for (size_t i = 0; i < n; ++i) {
    T v;
    std::memcpy(&v, p + i * sizeof(T), sizeof(T));
    if constexpr (std::is_signed_v<T>) {
      if (v < 0) return i;
    }
    if constexpr (sizeof(T) > 4) {
      if (static_cast<uint64_t>(v) > UINT32_MAX) return i;
    }
    out[i] = static_cast<uint32_t>(v);
  }
  return SIZE_MAX;
}

}  // namespace

size_t IntColumn::ToU32(std::vector<uint32_t>& out, bool is_id,
                        const char* what, std::string& message) const {
  out.resize(size_);
  const char* p = buffer_.data();
  uint32_t* dst = out.data();
  size_t bad = SIZE_MAX;
  if (signed_) {
    switch (buffer_.item_size()) {
      case 1:
        bad = Convert<int8_t>(p, size_, dst);
        break;
      case 2:
        bad = Convert<int16_t>(p, size_, dst);
        break;
      case 4:
        bad = Convert<int32_t>(p, size_, dst);
        break;
      default:
        bad = Convert<int64_t>(p, size_, dst);
        break;
    }
  } else {
    switch (buffer_.item_size()) {
      case 1:
        bad = Convert<uint8_t>(p, size_, dst);
        break;
      case 2:
        bad = Convert<uint16_t>(p, size_, dst);
        break;
      case 4:
        bad = Convert<uint32_t>(p, size_, dst);
        break;
      default:
        bad = Convert<uint64_t>(p, size_, dst);
        break;
    }
  }
  if (bad == SIZE_MAX) return bad;
  const bool negative = signed_ && signed_at(bad) < 0;
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

}  // namespace quillomar::pybuild
