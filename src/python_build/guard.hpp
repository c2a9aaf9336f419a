// How failures cross the boundary of the build module: every entry point
// runs its body through Guarded(), which turns each kind of C++ failure
// into one Python exception and returns NULL (or -1 for `int` slots).
#pragma once

#include <new>
#include <stdexcept>
#include <string_view>

#include "core/panic.hpp"
#include "python/py_ref.hpp"

namespace quillomar::pybuild {

using py::PyRef;

// Thrown after a Python error has been set.
struct PyErrorAlreadySet {};

inline PyRef Check(PyObject* o) {
  if (o == nullptr) throw PyErrorAlreadySet{};
  return PyRef::Steal(o);
}

[[noreturn]] inline void Raise(PyObject* type, std::string_view message) {
  PyRef text = PyRef::Steal(PyUnicode_FromStringAndSize(
      message.data(), static_cast<Py_ssize_t>(message.size())));
  if (text) PyErr_SetObject(type, text.get());
  throw PyErrorAlreadySet{};
}

// The module's RecordError (a ValueError whose args are (message, row)).
PyObject* RecordErrorType();

// Raises RecordError(message, row).
[[noreturn]] void RaiseRecordError(std::string_view message, uint64_t row);

template <class R, class F>
R GuardedAs(R failure, F&& body) noexcept {
  try {
    return body();
  } catch (const PyErrorAlreadySet&) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "error return without exception");
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown internal failure");
  }
  return failure;
}

template <class F>
PyObject* Guarded(F&& body) noexcept {
  return GuardedAs<PyObject*>(nullptr, std::forward<F>(body));
}

}  // namespace quillomar::pybuild
