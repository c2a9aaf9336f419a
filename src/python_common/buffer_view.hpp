// Python buffers (bytes, memoryview, array, numpy arrays, Arrow buffers)
// read in place, without a copy and without going through their elements as
// Python objects.
#pragma once

#include <cstddef>
#include <string_view>

#include "python_common/py_ref.hpp"

namespace quillomar::py {

// A read-only view of an object's buffer, released on every path out of
// scope.
class BufferView {
 public:
  BufferView() = default;
  // Raises TypeError "<what> must be a contiguous buffer" unless `o`
  // exports a C-contiguous buffer.
  BufferView(PyObject* o, const char* what);
  ~BufferView();
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;

  // False, with no error pending, when `o` exports no buffer of the kind
  // `flags` asks for. REQUIRES: no view is held yet.
  bool TryAcquire(PyObject* o, int flags);

  const Py_buffer& view() const { return view_; }
  const char* data() const { return static_cast<const char*>(view_.buf); }
  size_t bytes() const { return static_cast<size_t>(view_.len); }
  std::string_view text() const { return {data(), bytes()}; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// The element format of `view` past a byte-order prefix that means native
// order ("@", "=", and "<" on a little-endian machine); "B" when the buffer
// gives no format. Any other prefix stays, so the element code that follows
// is not recognised.
const char* NativeElementFormat(const Py_buffer& view);

}  // namespace quillomar::py
