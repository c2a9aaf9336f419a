#include "python/errors.hpp"

#include <atomic>
#include <string>

namespace quillomar::py {

void Raise(PyObject* type, std::string_view message) {
  PyRef text = PyRef::Steal(PyUnicode_FromStringAndSize(
      message.data(), static_cast<Py_ssize_t>(message.size())));
  if (text) PyErr_SetObject(type, text.get());
  throw PyErrorAlreadySet{};
}

PyObject* PanicExceptionType() {
  // Created under the GIL, so first use cannot race; the reference is kept
  // for the life of the process.
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "_quillomar.PanicException",
        "Raised when the native code of _quillomar fails unexpectedly, for\n"
        "example on a stored index that breaks the trie's invariants.\n\n"
        "Like SystemExit it derives from BaseException, not Exception, so an\n"
        "ordinary `except Exception` does not swallow it and it usually\n"
        "travels up to the top of the program.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

void SetPanic(std::string_view message) {
  PyObject* type = PanicExceptionType();
  if (type == nullptr) return;
  PyRef text = PyRef::Steal(PyUnicode_FromStringAndSize(
      message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!text) return;
  PyRef args = PyRef::Steal(PyTuple_Pack(1, text.get()));
  if (!args) return;
  PyErr_SetObject(type, args.get());
}

}  // namespace quillomar::py
