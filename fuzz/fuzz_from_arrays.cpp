// from_internal_data_v2 through the real module, on arbitrary nested Python
// values: the interpreter is embedded and the module is linked in, so the
// fuzzer sees coverage of the binding, the conversions and the core alike.
//
// A call may only fail with the errors a caller can cause (TypeError,
// ValueError, OverflowError, UnicodeEncodeError); an index it accepts must
// answer every query without any error and survive a to_bytes/from_bytes
// round trip unchanged.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" PyObject* PyInit__quillomar(void);

namespace {

PyObject* g_type = nullptr;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_from_arrays: %s\n", what);
  if (PyErr_Occurred()) PyErr_Print();
  std::abort();
}

// One arbitrary value: mostly small non-negative ints and one-character
// strings (what valid arrays hold), sometimes anything else.
PyObject* Scalar(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange<int>(0, 15)) {
    case 0:
      return PyLong_FromLongLong(in.ConsumeIntegral<int64_t>());
    case 1:
      return PyLong_FromUnsignedLongLong((uint64_t{1} << 32) -
                                         in.ConsumeIntegralInRange<int>(0, 2));
    case 2:
      Py_RETURN_NONE;
    case 3:
      return PyFloat_FromDouble(in.ConsumeFloatingPoint<double>());
    case 4: {
      const std::string s = in.ConsumeRandomLengthString(20);
      return PyBytes_FromStringAndSize(s.data(), s.size());
    }
    case 5: {
      const Py_UCS4 cp = in.ConsumeIntegralInRange<Py_UCS4>(0, 0x10FFFF);
      return PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, &cp, 1);
    }
    case 6:
      return PyUnicode_FromString("");
    case 7:
      return Py_NewRef(in.ConsumeBool() ? Py_True : Py_False);
    case 8:
    case 9:
    case 10: {
      const char c = static_cast<char>('a' + in.ConsumeIntegralInRange(0, 3));
      return PyUnicode_FromStringAndSize(&c, 1);
    }
    default:
      return PyLong_FromLong(in.ConsumeIntegralInRange<long>(0, 9));
  }
}

PyObject* Value(FuzzedDataProvider& in, int depth);

PyObject* Container(FuzzedDataProvider& in, int depth, bool tuple) {
  const Py_ssize_t n = in.ConsumeIntegralInRange<Py_ssize_t>(0, 8);
  PyObject* c = tuple ? PyTuple_New(n) : PyList_New(n);
  if (c == nullptr) return nullptr;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = Value(in, depth + 1);
    if (item == nullptr) {
      Py_DECREF(c);
      return nullptr;
    }
    if (tuple) {
      PyTuple_SET_ITEM(c, i, item);
    } else {
      PyList_SET_ITEM(c, i, item);
    }
  }
  return c;
}

PyObject* Value(FuzzedDataProvider& in, int depth) {
  const int kind = depth < 3 ? in.ConsumeIntegralInRange(0, 5) : 5;
  if (kind == 0) return Container(in, depth, /*tuple=*/false);
  if (kind == 1) return Container(in, depth, /*tuple=*/true);
  return Scalar(in);
}

bool ExpectedFailure() {
  return PyErr_ExceptionMatches(PyExc_TypeError) ||
         PyErr_ExceptionMatches(PyExc_ValueError) ||
         PyErr_ExceptionMatches(PyExc_OverflowError) ||
         PyErr_ExceptionMatches(PyExc_UnicodeEncodeError);
}

void Check(PyObject* index) {
  PyObject* bytes = PyObject_CallMethod(index, "to_bytes", nullptr);
  if (bytes == nullptr) Fail("to_bytes failed");
  PyObject* again = PyObject_CallMethod(g_type, "from_bytes", "O", bytes);
  if (again == nullptr) Fail("from_bytes of to_bytes failed");
  PyObject* bytes2 = PyObject_CallMethod(again, "to_bytes", nullptr);
  if (bytes2 == nullptr || PyObject_RichCompareBool(bytes, bytes2, Py_EQ) != 1)
    Fail("round trip changed the index");
  // Short queries and small bounds: the caller may supply any graph (shared
  // or cyclic child slots are accepted and walked as the tree they unfold
  // to), so long queries could make a single input take seconds.
  const char* queries[] = {"", "a", "ba"};
  for (const char* q : queries) {
    for (int k = 0; k < 2; ++k) {
      PyObject* r = PyObject_CallMethod(index, "fuzzy_match", "si", q, k);
      if (r == nullptr) Fail("fuzzy_match failed on an accepted index");
      Py_DECREF(r);
      r = PyObject_CallMethod(index, "fuzzy_match_video", "siOOd", q, k,
                              Py_None, Py_True, -1.0);
      if (r == nullptr) Fail("fuzzy_match_video failed on an accepted index");
      Py_DECREF(r);
    }
  }
  Py_DECREF(bytes);
  Py_DECREF(bytes2);
  Py_DECREF(again);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  PyImport_AppendInittab("_quillomar", PyInit__quillomar);
  Py_InitializeEx(0);
  PyObject* module = PyImport_ImportModule("_quillomar");
  if (module == nullptr) Fail("import failed");
  g_type = PyObject_GetAttrString(module, "PrefixSearch");
  if (g_type == nullptr) Fail("no PrefixSearch");
  Py_DECREF(module);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  PyObject* args = PyTuple_New(6);
  for (int i = 0; i < 6; ++i) {
    // Five array arguments (lists or tuples of arbitrary items) and the
    // top-n count; now and then anything at all in their place.
    PyObject* v = nullptr;
    if (in.ConsumeIntegralInRange(0, 15) == 0) {
      v = Value(in, 0);
    } else if (i == 5) {
      v = PyLong_FromLong(in.ConsumeIntegralInRange<long>(0, 4));
    } else {
      v = Container(in, i == 2 || i == 4 ? 0 : 2, in.ConsumeBool());
    }
    if (v == nullptr) Fail("building a value failed");
    PyTuple_SET_ITEM(args, i, v);
  }
  PyObject* fn = PyObject_GetAttrString(g_type, "from_internal_data_v2");
  PyObject* index = PyObject_Call(fn, args, nullptr);
  if (index == nullptr) {
    if (!ExpectedFailure()) Fail("unexpected exception type");
    PyErr_Clear();
  } else {
    Check(index);
    Py_DECREF(index);
  }
  Py_DECREF(fn);
  Py_DECREF(args);
  return 0;
}
