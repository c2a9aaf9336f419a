#include "python_build/delimited_reader_type.hpp"

#include <algorithm>
#include <memory>
#include <optional>

#include "core/build/delimited_parser.hpp"
#include "python_build/aggregator_type.hpp"
#include "python_build/bad_record_error.hpp"
#include "python_build/buffer_columns.hpp"
#include "python_common/errors.hpp"
#include "python_common/module_setup.hpp"

namespace quillomar::py {
namespace {

struct State {
  build::DelimitedColumns columns;
  std::optional<build::DelimitedParser> parser;
  bool failed = false;
};

struct ReaderObject {
  PyObject_HEAD State* state;
};

State& StateOf(PyObject* self) {
  return *reinterpret_cast<ReaderObject*>(self)->state;
}

PyObject* New(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return Guarded([&]() -> PyObject* {
    static const char* kNames[] = {"tsv",      "term_at", "video_at",
                                   "count_at", "fields",  nullptr};
    int tsv = 0;
    Py_ssize_t term_at, video_at, count_at, fields = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "pnnn|n:DelimitedReader",
                                     const_cast<char**>(kNames), &tsv, &term_at,
                                     &video_at, &count_at, &fields)) {
      return nullptr;
    }
    // A count position of -1: no count column, every row counts 1.
    const bool counted = count_at != -1;
    if (term_at < 0 || video_at < 0 || count_at < -1 || term_at == video_at ||
        (counted && (term_at == count_at || video_at == count_at))) {
      Raise(PyExc_ValueError,
            "column positions must be distinct and >= 0 (count -1 for none)");
    }
    if (fields < 0 ||
        (fields > 0 && std::max({term_at, video_at, count_at}) >= fields)) {
      Raise(PyExc_ValueError, "fields must cover every column position");
    }
    auto state = std::make_unique<State>();
    state->columns = {tsv != 0, static_cast<size_t>(term_at),
                      static_cast<size_t>(video_at),
                      counted ? static_cast<size_t>(count_at)
                              : build::DelimitedColumns::kNoColumn,
                      static_cast<size_t>(fields)};
    PyRef self = Check(type->tp_alloc(type, 0));
    reinterpret_cast<ReaderObject*>(self.get())->state = state.release();
    return self.release();
  });
}

void Dealloc(PyObject* self) {
  delete reinterpret_cast<ReaderObject*>(self)->state;
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// feed(aggregator, chunk, final) -> rows counted from this chunk. Raises
// BadRecordError(message, line) for a bad row.
PyObject* Feed(PyObject* self, PyObject* args) {
  return Guarded([&]() -> PyObject* {
    PyObject *aggregator, *chunk;
    int final = 0;
    if (!PyArg_ParseTuple(args, "OOp:feed", &aggregator, &chunk, &final)) {
      return nullptr;
    }
    State& s = StateOf(self);
    build::Aggregate& aggregate = AggregateOf(aggregator);
    if (s.failed) Raise(PyExc_RuntimeError, "the reader met a bad row");
    if (!s.parser) s.parser.emplace(s.columns, aggregate.id_kind());
    BufferView bytes(chunk, "chunk");
    build::DelimitedParser& parser = *s.parser;
    parser.ClearBatch();
    const auto fault = parser.Feed(bytes.data(), bytes.bytes(), final != 0);
    if (fault) {
      s.failed = true;
      RaiseBadRecord(fault->message, fault->line);
    }
    const build::RecordBatch batch = parser.batch();
    if (auto bad = aggregate.Add(batch)) {
      s.failed = true;
      RaiseBadRecord(bad->message, parser.line_of(bad->row));
    }
    const size_t rows = batch.terms.rows();
    parser.ClearBatch();
    return PyLong_FromSize_t(rows);
  });
}

PyMethodDef kMethods[] = {
    {"feed", Feed, METH_VARARGS,
     "feed(aggregator, chunk, final): parse bytes and count their rows"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(New)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_doc,
     const_cast<char*>(
         "DelimitedReader(tsv, term_at, video_at, count_at, fields=0): "
         "fields, when not 0, is how many fields a record may have at most")},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "_quillomar_build.DelimitedReader",
    sizeof(ReaderObject),
    0,
    Py_TPFLAGS_DEFAULT,
    kSlots,
};

}  // namespace

PyTypeObject* DelimitedReaderType() { return HeapType<kSpec>(); }

}  // namespace quillomar::py
