#include "python_build/bad_record_error.hpp"

#include "python_common/errors.hpp"

namespace quillomar::py {

PyObject* BadRecordErrorType() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "_quillomar_build.BadRecordError",
        "One refused record: args are (message, row or line).",
        PyExc_ValueError, nullptr);
  }
  return type;
}

void RaiseBadRecord(std::string_view message, uint64_t row) {
  PyObject* type = BadRecordErrorType();
  if (type == nullptr) throw PyErrorAlreadySet{};
  PyRef text = Check(PyUnicode_FromStringAndSize(
      message.data(), static_cast<Py_ssize_t>(message.size())));
  PyRef where = Check(PyLong_FromUnsignedLongLong(row));
  PyRef args = Check(PyTuple_Pack(2, text.get(), where.get()));
  PyErr_SetObject(type, args.get());
  throw PyErrorAlreadySet{};
}

}  // namespace quillomar::py
