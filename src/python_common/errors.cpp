#include "python_common/errors.hpp"

namespace quillomar::py {
namespace {

// Where the two modules meet to share one class: the interpreter's own
// dictionary for extension state, which neither module's attributes show.
constexpr const char* kPanicKey = "quillomar.PanicException";

PyObject* CreatePanicExceptionType() {
  return PyErr_NewExceptionWithDoc(
      "_quillomar.PanicException",
      "Raised when the native code of _quillomar fails unexpectedly, for\n"
      "example on a stored index that breaks the trie's invariants.\n\n"
      "Like SystemExit it derives from BaseException, not Exception, so an\n"
      "ordinary `except Exception` does not swallow it and it usually\n"
      "travels up to the top of the program.",
      PyExc_BaseException, nullptr);
}

}  // namespace

void Raise(PyObject* type, std::string_view message) {
  PyRef text = PyRef::Steal(PyUnicode_FromStringAndSize(
      message.data(), static_cast<Py_ssize_t>(message.size())));
  if (text) PyErr_SetObject(type, text.get());
  throw PyErrorAlreadySet{};
}

PyObject* PanicExceptionType() {
  // Looked up or created under the GIL, so first use cannot race; the
  // reference is kept for the life of the process. Each module is linked
  // with its own copy of this function, so the class is found through the
  // interpreter, where whichever module needs it first leaves it.
  static PyObject* type = nullptr;
  if (type != nullptr) return type;
  PyObject* shared = PyInterpreterState_GetDict(PyInterpreterState_Get());
  if (shared != nullptr) {
    PyObject* found = PyDict_GetItemString(shared, kPanicKey);  // borrowed
    if (found != nullptr) return type = Py_NewRef(found);
  }
  type = CreatePanicExceptionType();
  if (type != nullptr && shared != nullptr &&
      PyDict_SetItemString(shared, kPanicKey, type) < 0) {
    // The class still serves this module; only the sharing is lost.
    PyErr_Clear();
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
