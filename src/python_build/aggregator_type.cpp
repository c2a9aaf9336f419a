#include "python_build/aggregator_type.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "core/build/ascii_folding.hpp"
#include "core/build/field_text.hpp"
#include "core/build/trie_layout.hpp"
#include "core/terms/term_sections.hpp"
#include "core/trie/propagate.hpp"
#include "core/trie/trie_codec.hpp"
#include "python_build/bad_record_error.hpp"
#include "python_build/buffer_columns.hpp"
#include "python_build/search_section_type.hpp"
#include "python_build/without_gil.hpp"
#include "python_common/errors.hpp"
#include "python_common/module_setup.hpp"

namespace quillomar::py {

namespace {

// Normalisation through a Python callable taking and returning str.
class PythonRewriter final : public build::TermRewriter {
 public:
  explicit PythonRewriter(PyObject* callable)
      : callable_(PyRef::Borrow(callable)) {
    // A Normalization names itself; any other callable is described as such.
    description_ = "normalization";
    PyRef name = PyRef::Steal(PyObject_GetAttrString(callable, "name"));
    if (name && PyUnicode_Check(name.get())) {
      if (const char* text = PyUnicode_AsUTF8(name.get())) {
        description_ = "'" + std::string(text) + "' normalization";
      }
    }
    PyErr_Clear();
    // A normalisation that is plain case and space folding on ASCII says
    // so; such terms are then folded here without calling it.
    PyRef folds = PyRef::Steal(PyObject_GetAttrString(callable, "folds_ascii"));
    fold_ascii_ = folds && folds.get() == Py_True;
    PyErr_Clear();
  }
  std::string Describe() const override { return description_; }
  bool RewriteDirectly(std::string_view raw, std::string& out) override {
    if (!fold_ascii_ || !build::IsAscii(raw)) return false;
    build::FoldAscii(raw, out);
    return true;
  }
  void Rewrite(std::string_view raw, std::string& out) override {
    PyRef text = Check(PyUnicode_DecodeUTF8(
        raw.data(), static_cast<Py_ssize_t>(raw.size()), "strict"));
    PyRef result = Check(PyObject_CallOneArg(callable_.get(), text.get()));
    if (!PyUnicode_Check(result.get())) {
      Raise(PyExc_TypeError, "normalization must return a str");
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(result.get(), &size);
    if (utf8 == nullptr) throw PyErrorAlreadySet{};
    out.assign(utf8, static_cast<size_t>(size));
  }
  PyObject* callable() const { return callable_.get(); }

 private:
  PyRef callable_;
  std::string description_;
  bool fold_ascii_ = false;
};

struct State {
  std::unique_ptr<PythonRewriter> rewriter;
  std::unique_ptr<build::Aggregate> aggregate;
  // Per-batch scratch, reused.
  std::vector<uint64_t> offsets;
  std::vector<uint64_t> id_offsets;
  std::vector<uint32_t> ints;
  std::vector<Uuid> uuids;
  std::vector<uint32_t> counts;
  std::string message;
};

struct AggregatorObject {
  PyObject_HEAD State* state;
};

State& StateOf(PyObject* self) {
  return *reinterpret_cast<AggregatorObject*>(self)->state;
}

build::Aggregate& Live(PyObject* self) {
  State& s = StateOf(self);
  if (!s.aggregate) {
    Raise(PyExc_RuntimeError,
          "this aggregator's records were consumed by "
          "encode(release=True)");
  }
  return *s.aggregate;
}

PyObject* New(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return Guarded([&]() -> PyObject* {
    static const char* kNames[] = {"normalization", nullptr};
    PyObject* normalization = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:Aggregator",
                                     const_cast<char**>(kNames),
                                     &normalization)) {
      return nullptr;
    }
    if (normalization != Py_None && !PyCallable_Check(normalization)) {
      Raise(PyExc_TypeError, "normalization must be callable or None");
    }
    auto state = std::make_unique<State>();
    if (normalization != Py_None) {
      state->rewriter = std::make_unique<PythonRewriter>(normalization);
    }
    state->aggregate =
        std::make_unique<build::Aggregate>(state->rewriter.get());
    PyRef self = Check(type->tp_alloc(type, 0));
    reinterpret_cast<AggregatorObject*>(self.get())->state = state.release();
    return self.release();
  });
}

void Dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  delete reinterpret_cast<AggregatorObject*>(self)->state;
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

int Traverse(PyObject* self, visitproc visit, void* arg) {
  State* s = reinterpret_cast<AggregatorObject*>(self)->state;
  if (s != nullptr && s->rewriter) Py_VISIT(s->rewriter->callable());
  Py_VISIT(Py_TYPE(self));
  return 0;
}

// Reads a term column (data + offsets, or NUL-terminated data) of `rows`
// terms.
build::TermColumn ReadTerms(const BufferView& data, PyObject* offsets,
                            size_t rows, std::vector<uint64_t>& out) {
  build::TermColumn terms;
  terms.data = data.data();
  if (offsets == Py_None) {
    SplitAtNul(data.text(), rows, out);
    terms.separator = 1;
  } else {
    ReadOffsets(offsets, data.bytes(), out);
    if (out.size() != rows + 1) {
      Raise(PyExc_ValueError,
            "term offsets must number one more than the "
            "rows (" +
                std::to_string(rows) + ")");
    }
  }
  terms.offsets = out;
  return terms;
}

void RaiseFault(const build::RecordFault& fault) {
  RaiseBadRecord(fault.message, fault.row);
}

void ReadIds(State& s, PyObject* videos, const char* kind, size_t rows,
             build::RecordBatch& batch) {
  const std::string_view k = kind;
  if (k == "int") {
    IntColumn column(videos, "videos");
    if (column.size() != rows) {
      Raise(PyExc_ValueError, "videos and counts differ in length");
    }
    const size_t bad = column.ToU32(s.ints, true, "video id", s.message);
    if (bad != SIZE_MAX) RaiseBadRecord(s.message, bad);
    batch.id_kind = IdMode::kInt32;
    batch.int_ids = s.ints;
  } else if (k == "uuid") {
    BufferView column(videos, "videos");
    if (column.bytes() != 16 * rows) {
      Raise(PyExc_ValueError, "uuid videos must be 16 bytes per row");
    }
    s.uuids.resize(rows);
    if (rows > 0) std::memcpy(s.uuids.data(), column.data(), 16 * rows);
    batch.id_kind = IdMode::kUuid;
    batch.uuid_ids = s.uuids;
  } else if (k == "uuid_text") {
    PyObject* data = nullptr;
    PyObject* offsets = nullptr;
    if (!PyArg_ParseTuple(videos, "OO:videos", &data, &offsets)) {
      throw PyErrorAlreadySet{};
    }
    BufferView text(data, "video text");
    const build::TermColumn column =
        ReadTerms(text, offsets, rows, s.id_offsets);
    s.uuids.resize(rows);
    for (size_t i = 0; i < rows; ++i) {
      const std::string_view field = build::StripSpace(column.at(i));
      if (!build::ParseUuid(field, s.uuids[i])) {
        RaiseBadRecord("video id " + build::QuoteText(field) + " is not a UUID",
                       i);
      }
    }
    batch.id_kind = IdMode::kUuid;
    batch.uuid_ids = s.uuids;
  } else {
    Raise(PyExc_ValueError, "id kind must be 'int', 'uuid' or 'uuid_text'");
  }
}

// add(terms, offsets, videos, counts, id_kind)
PyObject* Add(PyObject* self, PyObject* args) {
  return Guarded([&]() -> PyObject* {
    PyObject *terms_data, *offsets, *videos, *counts_obj;
    const char* kind;
    if (!PyArg_ParseTuple(args, "OOOOs:add", &terms_data, &offsets, &videos,
                          &counts_obj, &kind)) {
      return nullptr;
    }
    build::Aggregate& aggregate = Live(self);
    State& s = StateOf(self);
    IntColumn counts(counts_obj, "counts");
    const size_t rows = counts.size();
    BufferView data(terms_data, "terms");
    build::RecordBatch batch;
    batch.terms = ReadTerms(data, offsets, rows, s.offsets);
    ReadIds(s, videos, kind, rows, batch);
    const size_t bad = counts.ToU32(s.counts, false, "count", s.message);
    if (bad != SIZE_MAX) RaiseBadRecord(s.message, bad);
    batch.counts = s.counts;
    if (auto fault = aggregate.Add(batch)) RaiseFault(*fault);
    Py_RETURN_NONE;
  });
}

// set_totals(terms, offsets, totals)
PyObject* SetTotals(PyObject* self, PyObject* args) {
  return Guarded([&]() -> PyObject* {
    PyObject *terms_data, *offsets, *totals_obj;
    if (!PyArg_ParseTuple(args, "OOO:set_totals", &terms_data, &offsets,
                          &totals_obj)) {
      return nullptr;
    }
    build::Aggregate& aggregate = Live(self);
    State& s = StateOf(self);
    IntColumn totals(totals_obj, "totals");
    BufferView data(terms_data, "terms");
    const build::TermColumn terms =
        ReadTerms(data, offsets, totals.size(), s.offsets);
    const size_t bad = totals.ToU32(s.counts, false, "total", s.message);
    if (bad != SIZE_MAX) RaiseBadRecord(s.message, bad);
    if (auto fault = aggregate.SetTotals(terms, s.counts)) RaiseFault(*fault);
    Py_RETURN_NONE;
  });
}

uint32_t TopN(PyObject* o) {
  const unsigned long long v = PyLong_AsUnsignedLongLong(o);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    throw PyErrorAlreadySet{};
  }
  if (v > UINT32_MAX) Raise(PyExc_OverflowError, "top_n above 4294967295");
  return static_cast<uint32_t>(v);
}

// The finished index of an Aggregator; with `release` the records' memory
// goes before the index is folded and encoded.
Trie FinishedTrie(PyObject* self, uint32_t top_n, bool release) {
  Trie trie = build::LayOut(Live(self));
  if (release) StateOf(self).aggregate.reset();
  propagate(trie, top_n);
  return trie;
}

bool ParseEncodeArguments(PyObject* args, PyObject* kwargs, const char* format,
                          uint32_t& top_n, int& release, int* fd) {
  static const char* kNames[] = {"top_n", "release", nullptr};
  static const char* kFileNames[] = {"fd", "top_n", "release", nullptr};
  PyObject* top_n_obj;
  const bool ok =
      fd == nullptr ? PyArg_ParseTupleAndKeywords(args, kwargs, format,
                                                  const_cast<char**>(kNames),
                                                  &top_n_obj, &release)
                    : PyArg_ParseTupleAndKeywords(
                          args, kwargs, format, const_cast<char**>(kFileNames),
                          fd, &top_n_obj, &release);
  if (!ok) return false;
  top_n = TopN(top_n_obj);
  return true;
}

// encode(top_n, release=False) -> bytes of the stored index
PyObject* Encode(PyObject* self, PyObject* args, PyObject* kwargs) {
  return Guarded([&]() -> PyObject* {
    uint32_t top_n;
    int release = 0;
    if (!ParseEncodeArguments(args, kwargs, "O|p:encode", top_n, release,
                              nullptr)) {
      return nullptr;
    }
    const Trie trie = FinishedTrie(self, top_n, release != 0);
    const size_t size = EncodedSize(trie);
    if (size > static_cast<size_t>(std::numeric_limits<Py_ssize_t>::max())) {
      PanicCapacityOverflow();
    }
    PyRef bytes = Check(
        PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    quillomar::Encode(
        trie,
        {reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(bytes.get())), size});
    return bytes.release();
  });
}

// Maps `size` bytes of the open file `fd` (made that long, its blocks
// allocated first so that a full disk is an error now rather than a fault
// while writing through the mapping) and encodes the index into them.
// Returns false with errno set when the file cannot be sized or mapped.
bool EncodeIntoFile(const Trie& trie, int fd, size_t size) {
  if (size == 0) return ftruncate(fd, 0) == 0;
  const int rc = posix_fallocate(fd, 0, static_cast<off_t>(size));
  if (rc == EOPNOTSUPP || rc == EINVAL) {
    // A file system that cannot allocate ahead: encode in memory and write.
    std::vector<uint8_t> bytes(size);
    quillomar::Encode(trie, bytes);
    for (size_t at = 0; at < size;) {
      const ssize_t n =
          pwrite(fd, bytes.data() + at, size - at, static_cast<off_t>(at));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      at += static_cast<size_t>(n);
    }
    return true;
  }
  if (rc != 0) {
    errno = rc;
    return false;
  }
  void* map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (map == MAP_FAILED) return false;
  quillomar::Encode(trie, {static_cast<uint8_t*>(map), size});
  return munmap(map, size) == 0;
}

// Encodes the finished index into the empty file open for reading and
// writing as `fd`; returns its size. Raises OSError when the file cannot
// take it (the caller removes the file).
size_t EncodeFinished(const Trie& trie, int fd) {
  const size_t size = EncodedSize(trie);
  if (size > static_cast<size_t>(std::numeric_limits<off_t>::max())) {
    PanicCapacityOverflow();
  }
  if (!WithoutGil([&] { return EncodeIntoFile(trie, fd, size); })) {
    PyErr_SetFromErrno(PyExc_OSError);
    throw PyErrorAlreadySet{};
  }
  return size;
}

// encode_to_file(fd, top_n, release=False) -> bytes written: the stored
// index written into the empty file open for reading and writing as `fd`,
// without holding it in memory a second time.
PyObject* EncodeToFile(PyObject* self, PyObject* args, PyObject* kwargs) {
  return Guarded([&]() -> PyObject* {
    uint32_t top_n;
    int release = 0;
    int fd = -1;
    if (!ParseEncodeArguments(args, kwargs, "iO|p:encode_to_file", top_n,
                              release, &fd)) {
      return nullptr;
    }
    const Trie trie = FinishedTrie(self, top_n, release != 0);
    return PyLong_FromSize_t(EncodeFinished(trie, fd));
  });
}

// encode_with_section(fd, top_n, release=False) -> (bytes written,
// SearchSection or None): as encode_to_file, and the search section of the
// same index, derived from the trie at hand rather than from the file.
PyObject* EncodeWithSection(PyObject* self, PyObject* args, PyObject* kwargs) {
  return Guarded([&]() -> PyObject* {
    uint32_t top_n;
    int release = 0;
    int fd = -1;
    if (!ParseEncodeArguments(args, kwargs, "iO|p:encode_with_section", top_n,
                              release, &fd)) {
      return nullptr;
    }
    Trie trie = FinishedTrie(self, top_n, release != 0);
    PyRef size = Check(PyLong_FromSize_t(EncodeFinished(trie, fd)));
    PyRef section = Check(NewSearchSection(std::move(trie)));
    return PyTuple_Pack(2, size.get(), section.get());
  });
}

// encode_terms(top_n) -> (term trie, term table): what any-word matching
// and suggested searches read, as two encoded sections (see
// core/terms/term_sections.hpp). Needs the records (before a release).
PyObject* EncodeTerms(PyObject* self, PyObject* arg) {
  return Guarded([&]() -> PyObject* {
    const uint32_t top_n = TopN(arg);
    const terms::TermSections sections =
        terms::BuildTermSections(Live(self), top_n);
    PyRef trie = Check(PyBytes_FromStringAndSize(
        reinterpret_cast<const char*>(sections.trie.data()),
        static_cast<Py_ssize_t>(sections.trie.size())));
    PyRef table = Check(PyBytes_FromStringAndSize(
        reinterpret_cast<const char*>(sections.table.data()),
        static_cast<Py_ssize_t>(sections.table.size())));
    return PyTuple_Pack(2, trie.get(), table.get());
  });
}

template <class T>
PyRef BytesOf(const T* data, size_t n) {
  return Check(
      PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data),
                                static_cast<Py_ssize_t>(n * sizeof(T))));
}

// layout() -> the construction arrays before propagation, as flat buffers:
// (node_shifts, labels, present, totals, offsets, ids, counts, id_kind,
// identifiers), every integer array little-endian 32-bit.
PyObject* Layout(PyObject* self, PyObject*) {
  return Guarded([&]() -> PyObject* {
    const Trie t = build::LayOut(Live(self));
    const PayloadTable& p = t.payloads;
    PyRef shifts = BytesOf(t.node_shifts.data(), t.node_shifts.size());
    PyRef labels = BytesOf(t.child_labels.data(), t.child_labels.size());
    PyRef present = BytesOf(p.present_flags().data(), p.size());
    PyRef totals = BytesOf(p.total_counts_array().data(), p.size());
    PyRef offsets = BytesOf(p.id_offsets().data(), p.id_offsets().size());
    PyRef ids = BytesOf(p.all_video_ids().data(), p.total_ids());
    PyRef counts =
        BytesOf(p.all_video_counts().data(), p.all_video_counts().size());
    const std::optional<IdMode> kind = Live(self).id_kind();
    PyRef table = kind == IdMode::kInt32
                      ? BytesOf(t.int32_ids.data(), t.int32_ids.size())
                      : BytesOf(t.uuid_ids.data(), t.uuid_ids.size());
    PyRef kind_name = !kind.has_value()
                          ? PyRef::Borrow(Py_None)
                          : Check(PyUnicode_FromString(
                                kind == IdMode::kInt32 ? "int" : "uuid"));
    return PyTuple_Pack(9, shifts.get(), labels.get(), present.get(),
                        totals.get(), offsets.get(), ids.get(), counts.get(),
                        kind_name.get(), table.get());
  });
}

Py_ssize_t Length(PyObject* self) {
  return GuardedAs<Py_ssize_t>(
      -1, [&] { return static_cast<Py_ssize_t>(Live(self).term_count()); });
}

PyObject* GetVideoCount(PyObject* self, void*) {
  return Guarded([&] { return PyLong_FromSize_t(Live(self).video_count()); });
}

PyObject* GetIdKind(PyObject* self, void*) {
  return Guarded([&]() -> PyObject* {
    const std::optional<IdMode> kind = Live(self).id_kind();
    if (!kind.has_value()) Py_RETURN_NONE;
    return PyUnicode_FromString(kind == IdMode::kInt32 ? "int" : "uuid");
  });
}

PyMethodDef kMethods[] = {
    {"add", Add, METH_VARARGS,
     "add(terms, offsets, videos, counts, id_kind): count a batch of "
     "records, all or none"},
    {"set_totals", SetTotals, METH_VARARGS,
     "set_totals(terms, offsets, totals): set term totals, all or none"},
    {"encode",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Encode)),
     METH_VARARGS | METH_KEYWORDS,
     "encode(top_n, release=False): the stored form of the index"},
    {"encode_to_file",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(EncodeToFile)),
     METH_VARARGS | METH_KEYWORDS,
     "encode_to_file(fd, top_n, release=False): write the stored form into "
     "an open, empty file; returns its size"},
    {"encode_with_section",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)()>(EncodeWithSection)),
     METH_VARARGS | METH_KEYWORDS,
     "encode_with_section(fd, top_n, release=False): encode_to_file, and "
     "the index's search section (a SearchSection, or None)"},
    {"encode_terms", EncodeTerms, METH_O,
     "encode_terms(top_n) -> (term trie bytes, term table bytes)"},
    {"layout", Layout, METH_NOARGS,
     "layout(): the construction arrays before propagation"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"video_count", GetVideoCount, nullptr, "distinct videos", nullptr},
    {"id_kind", GetIdKind, nullptr, "'int', 'uuid' or None", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(New)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(Traverse)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_sq_length, reinterpret_cast<void*>(Length)},
    {Py_tp_doc,
     const_cast<char*>("Aggregator(normalization=None): the records of one "
                       "index build")},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "_quillomar_build.Aggregator",
    sizeof(AggregatorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    kSlots,
};

}  // namespace

PyTypeObject* AggregatorType() { return HeapType<kSpec>(); }

build::Aggregate& AggregateOf(PyObject* o) {
  if (!PyObject_TypeCheck(o, AggregatorType())) {
    Raise(PyExc_TypeError, "expected an Aggregator");
  }
  return Live(o);
}

}  // namespace quillomar::py
