// Columns handed over as Python buffers (bytes, memoryview, array, numpy
// arrays, Arrow buffers): read in place, never element by element through
// Python objects.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "python_common/buffer_view.hpp"
#include "python_common/int_buffer.hpp"

namespace quillomar::py {

// A buffer of integers in any of the native formats, as 64-bit values.
class IntColumn {
 public:
  IntColumn(PyObject* o, const char* what);
  size_t size() const { return size_; }
  // REQUIRES: i < size().
  bool is_signed() const { return format_.is_signed; }
  int64_t signed_at(size_t i) const;
  uint64_t unsigned_at(size_t i) const;

  // Values converted to 0..4294967295 into `out`; returns the first row
  // out of range, or SIZE_MAX. `message` then says why, naming the value
  // as `what` ("count", "video id"); ids are "outside" the range, counts
  // "negative" or "above" it.
  size_t ToU32(std::vector<uint32_t>& out, bool is_id, const char* what,
               std::string& message) const;

 private:
  BufferView buffer_;
  IntFormat format_;
  size_t size_;
};

// Term offsets: a buffer of int32 or int64 (or unsigned) positions, rows + 1
// of them, non-decreasing, inside the data; as 64-bit values in `out`.
// Raises ValueError on a malformed column.
void ReadOffsets(PyObject* o, size_t data_bytes, std::vector<uint64_t>& out);

// Offsets of `rows` terms each followed by one NUL byte in `data` (read
// with a separator of 1). Raises ValueError when the count of NULs does not
// match or the data does not end with one.
void SplitAtNul(std::string_view data, size_t rows, std::vector<uint64_t>& out);

}  // namespace quillomar::py
