#include "python_common/buffer_view.hpp"

#include <bit>
#include <string>

#include "python_common/errors.hpp"

namespace quillomar::py {

BufferView::BufferView(PyObject* o, const char* what) {
  if (!TryAcquire(o, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT)) {
    Raise(PyExc_TypeError, std::string(what) + " must be a contiguous buffer");
  }
}

BufferView::~BufferView() {
  if (held_) PyBuffer_Release(&view_);
}

bool BufferView::TryAcquire(PyObject* o, int flags) {
  if (!PyObject_CheckBuffer(o)) return false;
  if (PyObject_GetBuffer(o, &view_, flags) != 0) {
    PyErr_Clear();
    return false;
  }
  held_ = true;
  return true;
}

const char* NativeElementFormat(const Py_buffer& view) {
  const char* fmt = view.format == nullptr ? "B" : view.format;
  if (*fmt == '@' || *fmt == '=' ||
      (*fmt == '<' && std::endian::native == std::endian::little)) {
    ++fmt;
  }
  return fmt;
}

}  // namespace quillomar::py
