// How failures cross the boundary of both extension modules: every entry
// point runs its body through Guarded() (or GuardedAs() for slots that do
// not return an object), which turns each kind of C++ failure into exactly
// one Python exception. No C++ exception escapes into the interpreter.
//
// The one mapping, for both modules:
//   a Python error already set  -> that error
//   std::bad_alloc              -> MemoryError
//   std::length_error           -> PanicException "capacity overflow" (a
//                                  size that cannot be expressed)
//   any other std::exception    -> PanicException with its what(), which
//                                  for a core Panic is the description of
//                                  the broken invariant
//   anything else               -> PanicException "unknown internal failure"
#pragma once

#include <new>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "python_common/py_ref.hpp"

namespace quillomar::py {

// Thrown after a Python error has been set: it only unwinds to the entry
// point, which returns its failure value with that error still set.
struct PyErrorAlreadySet {};

// Throws PyErrorAlreadySet when `o` is NULL (a failed API call), else
// returns it as an owned reference.
inline PyRef Check(PyObject* o) {
  if (o == nullptr) throw PyErrorAlreadySet{};
  return PyRef::Steal(o);
}

// Sets `type(message)` and throws PyErrorAlreadySet.
[[noreturn]] void Raise(PyObject* type, std::string_view message);

// The one PanicException class of the process, shared by both modules
// (created on first use). Returns NULL with an error set if it cannot be
// created.
PyObject* PanicExceptionType();

// Sets PanicException(message); falls back to whatever error creating the
// exception type raised.
void SetPanic(std::string_view message);

template <class R, class F>
R GuardedAs(R failure, F&& body) noexcept {
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
  return failure;
}

// GuardedAs for entry points that return an object (NULL on failure).
template <class F>
PyObject* Guarded(F&& body) noexcept {
  return GuardedAs<PyObject*>(nullptr, std::forward<F>(body));
}

}  // namespace quillomar::py
