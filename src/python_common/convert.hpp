// Conversions from Python argument values to plain C++ values.
//
// Each converter either returns the value or sets a Python error and throws
// PyErrorAlreadySet. Converters raise unprefixed errors; NamedArgument()
// adds the "argument 'NAME': " prefix to TypeErrors at the top level only.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "python_common/errors.hpp"
#include "python_common/py_ref.hpp"

namespace quillomar::py {

// The __qualname__ of o's type, or "<failed to extract type name>".
std::string TypeQualName(PyObject* o);

// Raises TypeError "'T' object cannot be converted to 'EXPECTED'".
[[noreturn]] void RaiseWrongType(PyObject* o, const char* expected);

// If the pending error's type is exactly TypeError, replaces it with
// TypeError "argument 'NAME': <text>" keeping the original's __cause__.
void PrefixTypeError(const char* name);

// Runs `convert()`; if it fails with an exception whose type is exactly
// TypeError, replaces it with TypeError "argument 'NAME': <text>" that keeps
// the original's __cause__. Other errors pass through unchanged.
template <class F>
auto NamedArgument(const char* name, F&& convert) -> decltype(convert()) {
  try {
    return convert();
  } catch (const PyErrorAlreadySet&) {
    PrefixTypeError(name);
    throw;
  }
}

// `str` (or subclass) -> its UTF-8 text, valid while `o` lives.
std::string_view ToUtf8(PyObject* o);

// int or __index__ object -> unsigned 32-bit. bool counts as int.
uint32_t ToU32(PyObject* o);

// `bytes` (or subclass) -> its buffer, read in place.
std::span<const uint8_t> ToBytes(PyObject* o);

// None/absent -> nullopt, else as ToU32.
std::optional<uint32_t> ToOptionalU32(PyObject* o);
// None/absent -> nullopt; exact bool or a numpy boolean scalar.
std::optional<bool> ToOptionalBool(PyObject* o);
// None/absent -> nullopt; float, or anything PyFloat_AsDouble accepts.
std::optional<double> ToOptionalDouble(PyObject* o);

// Reads a sequence argument element by element: refuses `str`, requires the
// sequence protocol, reports its length (or -1 when unknown) through
// `reserve`, then calls `element(item)` for each item in iteration order.
// Exact lists and tuples are read directly, without the iterator protocol;
// the results and errors are the same.
template <class Reserve, class Element>
void ForEachInSequence(PyObject* seq, Reserve&& reserve, Element&& element);

void CheckSequence(PyObject* seq);

template <class Reserve, class Element>
void ForEachInSequence(PyObject* seq, Reserve&& reserve, Element&& element) {
  CheckSequence(seq);
  if (PyList_CheckExact(seq) || PyTuple_CheckExact(seq)) {
    // A list may change under us if an element's conversion runs Python
    // code, so its size is read again on every step.
    reserve(PySequence_Fast_GET_SIZE(seq));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq); ++i) {
      PyRef item = PyRef::Borrow(PySequence_Fast_GET_ITEM(seq, i));
      element(item.get());
    }
    return;
  }
  // Any other sequence reports its own length, which may be a lie: room is
  // reserved for at most kMaxTrustedLength elements up front, and storage
  // grows from there only as elements actually arrive.
  constexpr Py_ssize_t kMaxTrustedLength = Py_ssize_t{1} << 20;
  const Py_ssize_t size = PySequence_Size(seq);
  if (size < 0) PyErr_Clear();
  reserve(size < kMaxTrustedLength ? size : kMaxTrustedLength);
  PyRef it = Check(PyObject_GetIter(seq));
  while (true) {
    PyRef item = PyRef::Steal(PyIter_Next(it.get()));
    if (!item) {
      if (PyErr_Occurred()) throw PyErrorAlreadySet{};
      return;
    }
    element(item.get());
  }
}

}  // namespace quillomar::py
