#include "python_common/convert.hpp"

#include <cstring>

namespace quillomar::py {

std::string TypeQualName(PyObject* o) {
  PyRef name = PyRef::Steal(PyObject_GetAttrString(
      reinterpret_cast<PyObject*>(Py_TYPE(o)), "__qualname__"));
  if (name && PyUnicode_Check(name.get())) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size)) {
      return std::string(utf8, static_cast<size_t>(size));
    }
  }
  PyErr_Clear();
  return "<failed to extract type name>";
}

void RaiseWrongType(PyObject* o, const char* expected) {
  std::string message = "'";
  message += TypeQualName(o);
  message += "' object cannot be converted to '";
  message += expected;
  message += "'";
  Raise(PyExc_TypeError, message);
}

void PrefixTypeError(const char* name) {
  if (PyErr_Occurred() != PyExc_TypeError) return;  // exactly TypeError only
#if PY_VERSION_HEX >= 0x030C0000
  PyRef value = PyRef::Steal(PyErr_GetRaisedException());
#else
  PyObject *type, *raw_value, *tb;
  PyErr_Fetch(&type, &raw_value, &tb);
  PyErr_NormalizeException(&type, &raw_value, &tb);
  if (tb != nullptr) PyException_SetTraceback(raw_value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  PyRef value = PyRef::Steal(raw_value);
#endif
  PyRef text = PyRef::Steal(PyObject_Str(value.get()));
  if (!text) return;  // the error from str() is now the pending one
  PyRef message =
      PyRef::Steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!message) return;
  PyRef replacement =
      PyRef::Steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!replacement) return;
  PyObject* cause = PyException_GetCause(value.get());  // new ref or NULL
  if (cause != nullptr && cause != Py_None) {
    PyException_SetCause(replacement.get(), cause);  // steals `cause`
  } else {
    Py_XDECREF(cause);
  }
  PyErr_SetObject(PyExc_TypeError, replacement.get());
}

std::string_view ToUtf8(PyObject* o) {
  if (!PyUnicode_Check(o)) RaiseWrongType(o, "PyString");
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(o, &size);
  if (utf8 == nullptr) throw PyErrorAlreadySet{};
  return {utf8, static_cast<size_t>(size)};
}

uint32_t ToU32(PyObject* o) {
  PyRef index;
  if (!PyLong_Check(o)) {
    index = Check(PyNumber_Index(o));
    o = index.get();
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(o);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    throw PyErrorAlreadySet{};
  }
  if (v > UINT32_MAX) {
    Raise(PyExc_OverflowError,
          "out of range integral type conversion attempted");
  }
  return static_cast<uint32_t>(v);
}

std::span<const uint8_t> ToBytes(PyObject* o) {
  if (!PyBytes_Check(o)) RaiseWrongType(o, "PyBytes");
  return {reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(o)),
          static_cast<size_t>(PyBytes_GET_SIZE(o))};
}

std::optional<uint32_t> ToOptionalU32(PyObject* o) {
  if (o == nullptr || o == Py_None) return std::nullopt;
  return ToU32(o);
}

namespace {

// True for numpy's boolean scalar type (named "bool_" before numpy 2).
bool IsNumpyBool(PyTypeObject* type) {
  PyObject* t = reinterpret_cast<PyObject*>(type);
  PyRef module = PyRef::Steal(PyObject_GetAttrString(t, "__module__"));
  PyRef name = PyRef::Steal(PyObject_GetAttrString(t, "__name__"));
  if (!module || !name) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_Check(module.get()) && PyUnicode_Check(name.get()) &&
         PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
         (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
          PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
}

}  // namespace

std::optional<bool> ToOptionalBool(PyObject* o) {
  if (o == nullptr || o == Py_None) return std::nullopt;
  if (PyBool_Check(o)) return o == Py_True;
  PyTypeObject* type = Py_TYPE(o);
  if (!IsNumpyBool(type)) RaiseWrongType(o, "PyBool");
  if (type->tp_as_number == nullptr || type->tp_as_number->nb_bool == nullptr) {
    PyRef type_text = Check(PyObject_Str(reinterpret_cast<PyObject*>(type)));
    const char* utf8 = PyUnicode_AsUTF8(type_text.get());
    if (utf8 == nullptr) throw PyErrorAlreadySet{};
    Raise(PyExc_TypeError, std::string("object of type '") + utf8 +
                               "' does not define a '__bool__' conversion");
  }
  const int truth = type->tp_as_number->nb_bool(o);
  if (truth < 0) throw PyErrorAlreadySet{};
  return truth != 0;
}

std::optional<double> ToOptionalDouble(PyObject* o) {
  if (o == nullptr || o == Py_None) return std::nullopt;
  if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
  const double v = PyFloat_AsDouble(o);
  if (v == -1.0 && PyErr_Occurred()) throw PyErrorAlreadySet{};
  return v;
}

void CheckSequence(PyObject* seq) {
  if (PyUnicode_Check(seq)) {
    Raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
  }
  if (!PySequence_Check(seq)) RaiseWrongType(seq, "Sequence");
}

}  // namespace quillomar::py
