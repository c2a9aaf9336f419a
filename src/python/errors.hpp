// How failures cross the boundary: every method entry point runs its body
// through Guarded(), which turns each kind of C++ failure into exactly one
// Python exception and returns NULL. No C++ exception escapes into the
// interpreter.
#pragma once

#include <new>
#include <stdexcept>
#include <string_view>

#include "core/panic.hpp"
#include "python/py_ref.hpp"

namespace quillomar::py {

// Thrown after a Python error has been set: it only unwinds to the entry
// point, which returns NULL with that error still set.
struct PyErrorAlreadySet {};

// Throws PyErrorAlreadySet when `o` is NULL (a failed API call), else
// returns it as an owned reference.
inline PyRef Check(PyObject* o) {
  if (o == nullptr) throw PyErrorAlreadySet{};
  return PyRef::Steal(o);
}

// Sets `type(message)` and throws PyErrorAlreadySet.
[[noreturn]] void Raise(PyObject* type, std::string_view message);

// The module's PanicException (created on first use, once per process).
// Returns NULL with an error set if it cannot be created.
PyObject* PanicExceptionType();

// Sets PanicException(message); falls back to whatever error creating the
// exception type raised.
void SetPanic(std::string_view message);

template <class F>
PyObject* Guarded(F&& body) noexcept {
  try {
    return body();
  } catch (const PyErrorAlreadySet&) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError,
                      "attempted to fetch exception but none was set");
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    // A container asked for more elements than it can ever hold.
    SetPanic("capacity overflow");
  } catch (const std::exception& e) {
    SetPanic(e.what());
  } catch (...) {
    SetPanic("unknown internal failure");
  }
  return nullptr;
}

}  // namespace quillomar::py
