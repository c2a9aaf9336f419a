// Building method results: tuples filled element by element and lists
// created at their final length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "python_common/errors.hpp"
#include "python_common/py_ref.hpp"

namespace quillomar::py {

// A new tuple owning `items` (each must be non-NULL; they are released into
// the tuple). Throws PyErrorAlreadySet on failure; the items are then
// released by their PyRefs.
template <size_t N>
PyRef TupleOf(PyRef (&&items)[N]) {
  PyRef tuple = Check(PyTuple_New(N));
  for (size_t i = 0; i < N; ++i) {
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i),
                     items[i].release());
  }
  return tuple;
}

// A new list of exactly items.size() entries, taking over every item.
inline PyRef ListOf(std::vector<PyRef>& items) {
  PyRef list = Check(PyList_New(static_cast<Py_ssize_t>(items.size())));
  for (size_t i = 0; i < items.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), items[i].release());
  }
  return list;
}

// A str of the given code points, built in one step from the UCS4 data.
inline PyRef StrFromCodePoints(std::span<const uint32_t> cps) {
  static_assert(sizeof(Py_UCS4) == sizeof(uint32_t));
  return Check(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, cps.data(),
                                         static_cast<Py_ssize_t>(cps.size())));
}

// A str of ASCII text, written straight into the new object.
inline PyRef StrFromAscii(const char* text, size_t size) {
  PyRef s = Check(PyUnicode_New(static_cast<Py_ssize_t>(size), 127));
  std::copy(text, text + size, static_cast<char*>(PyUnicode_DATA(s.get())));
  return s;
}

}  // namespace quillomar::py
