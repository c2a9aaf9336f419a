// The build module: aggregation and encoding of indexes from record
// batches, beside the search module and linked to the same core.
#include <cstdint>

#include "python_build/aggregator_type.hpp"
#include "python_build/decoded_length.hpp"
#include "python_build/delimited_reader_type.hpp"
#include "python_build/guard.hpp"
#include "python_build/mapped_index_type.hpp"
#include "python_build/search_section_type.hpp"
#include "python_build/term_index_type.hpp"

namespace quillomar::pybuild {

PyObject* RecordErrorType() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "_quillomar_build.RecordError",
        "A refused record: args are (message, row or line).", PyExc_ValueError,
        nullptr);
  }
  return type;
}

void RaiseRecordError(std::string_view message, uint64_t row) {
  PyObject* type = RecordErrorType();
  if (type == nullptr) throw PyErrorAlreadySet{};
  PyRef text = Check(PyUnicode_FromStringAndSize(
      message.data(), static_cast<Py_ssize_t>(message.size())));
  PyRef where = Check(PyLong_FromUnsignedLongLong(row));
  PyRef args = Check(PyTuple_Pack(2, text.get(), where.get()));
  PyErr_SetObject(type, args.get());
  throw PyErrorAlreadySet{};
}

namespace {

PyMethodDef kMethods[] = {
    {"decoded_length", DecodedLength, METH_O, kDecodedLengthDoc},
    {"search_section", SearchSectionOf, METH_O,
     "search_section(index_bytes): the search section of an encoded index "
     "(a SearchSection), or None when the searches cannot run on it in "
     "place"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "_quillomar_build",
    "Native aggregation and encoding of indexes from record batches, and "
    "indexes searched in place in a mapped file.",
    -1,
    kMethods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

bool AddObject(PyObject* module, const char* name, PyObject* o) {
  if (o == nullptr) return false;
  Py_INCREF(o);
  if (PyModule_AddObject(module, name, o) < 0) {
    Py_DECREF(o);
    return false;
  }
  return true;
}

PyObject* Init() {
  PyRef module = Check(PyModule_Create(&kModuleDef));
#ifdef Py_GIL_DISABLED
  if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_USED) < 0) {
    return nullptr;
  }
#endif
  if (!AddObject(module.get(), "Aggregator",
                 reinterpret_cast<PyObject*>(AggregatorType())) ||
      !AddObject(module.get(), "DelimitedReader",
                 reinterpret_cast<PyObject*>(DelimitedReaderType())) ||
      !AddObject(module.get(), "RecordError", RecordErrorType()) ||
      !AddObject(module.get(), "MappedIndex",
                 reinterpret_cast<PyObject*>(MappedIndexType())) ||
      !AddObject(module.get(), "SearchSection",
                 reinterpret_cast<PyObject*>(SearchSectionType())) ||
      !AddObject(module.get(), "TermIndex",
                 reinterpret_cast<PyObject*>(TermIndexType()))) {
    return nullptr;
  }
  return module.release();
}

}  // namespace
}  // namespace quillomar::pybuild

PyMODINIT_FUNC PyInit__quillomar_build(void) {
  return quillomar::pybuild::Guarded([] { return quillomar::pybuild::Init(); });
}
