// Owned references to Python objects.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

#if PY_VERSION_HEX < 0x030A0000
static inline PyObject* Py_NewRef(PyObject* o) {
  Py_INCREF(o);
  return o;
}
#endif

namespace quillomar::py {

// Owns one strong reference (or none) and releases it on destruction, so no
// error path can leak or double-release.
class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (which may be NULL, e.g. a failed call).
  static PyRef Steal(PyObject* o) { return PyRef(o); }
  // Adds a reference of its own to a borrowed object.
  static PyRef Borrow(PyObject* o) {
    Py_XINCREF(o);
    return PyRef(o);
  }

  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : o_(std::exchange(other.o_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(o_);
      o_ = std::exchange(other.o_, nullptr);
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(o_); }

  PyObject* get() const { return o_; }
  explicit operator bool() const { return o_ != nullptr; }
  // Gives up ownership to the caller (for returning a new reference).
  PyObject* release() { return std::exchange(o_, nullptr); }

 private:
  explicit PyRef(PyObject* o) : o_(o) {}
  PyObject* o_ = nullptr;
};

}  // namespace quillomar::py
