// The build module: aggregation and encoding of indexes from record
// batches, beside the search module and linked to the same core.
#include "python_build/aggregator_type.hpp"
#include "python_build/bad_record_error.hpp"
#include "python_build/decoded_length.hpp"
#include "python_build/delimited_reader_type.hpp"
#include "python_build/failure_probe.hpp"
#include "python_build/mapped_index_type.hpp"
#include "python_build/search_section_type.hpp"
#include "python_build/term_index_type.hpp"
#include "python_common/errors.hpp"
#include "python_common/module_setup.hpp"

namespace quillomar::py {
namespace {

PyMethodDef kFunctions[] = {
    {"decoded_length", DecodedLength, METH_O, kDecodedLengthDoc},
    {"search_section", SearchSectionOf, METH_O,
     "search_section(index_bytes): the search section of an encoded index "
     "(a SearchSection), or None when the searches cannot run on it in "
     "place"},
    {"_fail_as", FailAs, METH_O,
     "_fail_as(kind): fail on purpose, for the tests of failure mapping"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "_quillomar_build",
    "Native aggregation and encoding of indexes from record batches, and "
    "indexes searched in place in a mapped file.",
    -1,
    kFunctions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* Init() {
  PyRef module = Check(PyModule_Create(&kModuleDef));
  if (!DeclareGilUsed(module.get()) ||
      !AddObject(module.get(), "Aggregator",
                 reinterpret_cast<PyObject*>(AggregatorType())) ||
      !AddObject(module.get(), "DelimitedReader",
                 reinterpret_cast<PyObject*>(DelimitedReaderType())) ||
      !AddObject(module.get(), "BadRecordError", BadRecordErrorType()) ||
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
}  // namespace quillomar::py

PyMODINIT_FUNC PyInit__quillomar_build(void) {
  return quillomar::py::Guarded([] { return quillomar::py::Init(); });
}
