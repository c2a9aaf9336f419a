#include "python_build/term_index_type.hpp"

#include <exception>
#include <memory>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "core/index/search_index.hpp"
#include "core/terms/term_search.hpp"
#include "core/terms/term_table.hpp"
#include "core/terms/term_videos.hpp"
#include "core/trie/trie_codec.hpp"
#include "python_build/prefix_search_view.hpp"
#include "python_build/without_gil.hpp"
#include "python_common/errors.hpp"
#include "python_common/module_setup.hpp"

namespace quillomar::py {
namespace {

struct State {
  std::unique_ptr<SearchIndex> trie;
  PyRef table_bytes;  // a bytes object; the view points into it
  terms::TermTableView table;
};

struct TermIndexObject {
  PyObject_HEAD State* state;
};

State& StateOf(PyObject* self) {
  return *reinterpret_cast<TermIndexObject*>(self)->state;
}

// A buffer held for the length of a call.
class Buffer {
 public:
  explicit Buffer(PyObject* o) {
    if (PyObject_GetBuffer(o, &view_, PyBUF_SIMPLE) < 0)
      throw PyErrorAlreadySet{};
  }
  ~Buffer() { PyBuffer_Release(&view_); }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  std::span<const uint8_t> bytes() const {
    return {static_cast<const uint8_t*>(view_.buf),
            static_cast<size_t>(view_.len)};
  }

 private:
  Py_buffer view_;
};

std::unique_ptr<SearchIndex> OpenTrie(PyObject* o) {
  std::variant<Trie, codec::DecodeError> decoded = [&] {
    const Buffer buffer(o);
    return Decode(buffer.bytes());
  }();
  if (std::holds_alternative<codec::DecodeError>(decoded)) {
    Raise(PyExc_ValueError,
          "the term trie cannot be decoded (damaged section)");
  }
  auto index =
      std::make_unique<SearchIndex>(std::move(std::get<Trie>(decoded)));
  if (!index->sound() || (index->trie().id_mode != IdMode::kInt32 &&
                          !index->trie().uuid_ids.empty())) {
    Raise(PyExc_ValueError,
          "the term trie is not a sound index of term numbers");
  }
  return index;
}

PyObject* New(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return Guarded([&]() -> PyObject* {
    static const char* kNames[] = {"trie", "table", nullptr};
    PyObject* trie_obj;
    PyObject* table_obj;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:TermIndex",
                                     const_cast<char**>(kNames), &trie_obj,
                                     &table_obj)) {
      return nullptr;
    }
    auto state = std::make_unique<State>();
    state->trie = OpenTrie(trie_obj);
    state->table_bytes = Check(PyBytes_FromObject(table_obj));
    const std::span<const uint8_t> table(
        reinterpret_cast<const uint8_t*>(
            PyBytes_AS_STRING(state->table_bytes.get())),
        static_cast<size_t>(PyBytes_GET_SIZE(state->table_bytes.get())));
    const std::optional<terms::TermTableView> view =
        terms::TermTableView::Open(table);
    if (!view) Raise(PyExc_ValueError, "the term table is damaged");
    state->table = *view;
    PyRef self = Check(type->tp_alloc(type, 0));
    reinterpret_cast<TermIndexObject*>(self.get())->state = state.release();
    return self.release();
  });
}

void Dealloc(PyObject* self) {
  delete reinterpret_cast<TermIndexObject*>(self)->state;
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// Appends the code points of `o` (a str) to `out`.
void AppendCodePoints(PyObject* o, std::vector<uint32_t>& out) {
  if (!PyUnicode_Check(o)) Raise(PyExc_TypeError, "words must be str");
  const Py_ssize_t n = PyUnicode_GET_LENGTH(o);
  const int kind = PyUnicode_KIND(o);
  const void* data = PyUnicode_DATA(o);
  for (Py_ssize_t i = 0; i < n; ++i)
    out.push_back(PyUnicode_READ(kind, data, i));
}

uint32_t SmallInt(PyObject* o, const char* what) {
  const long v = PyLong_AsLong(o);
  if (v == -1 && PyErr_Occurred()) throw PyErrorAlreadySet{};
  if (v < 0 || v > 3)
    Raise(PyExc_ValueError, std::string(what) + " must be in 0..3");
  return static_cast<uint32_t>(v);
}

PyRef RowOf(const State& s, const terms::TermHit& hit) {
  const std::string_view text = s.table.text(hit.term);
  PyRef term = Check(PyLong_FromUnsignedLong(hit.term));
  PyRef str = Check(PyUnicode_DecodeUTF8(
      text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  PyRef count = Check(PyLong_FromUnsignedLong(hit.count));
  PyRef how = Check(PyLong_FromLong(static_cast<long>(hit.match.how)));
  PyRef ranges =
      Check(PyTuple_New(2 * static_cast<Py_ssize_t>(hit.match.range_count)));
  for (uint32_t i = 0; i < hit.match.range_count; ++i) {
    const terms::Range r = hit.match.ranges[i];
    PyTuple_SET_ITEM(ranges.get(), 2 * i,
                     Check(PyLong_FromUnsignedLong(r.begin)).release());
    PyTuple_SET_ITEM(ranges.get(), 2 * i + 1,
                     Check(PyLong_FromUnsignedLong(r.end)).release());
  }
  return Check(PyTuple_Pack(6, term.get(), str.get(), count.get(), how.get(),
                            hit.match.corrected ? Py_True : Py_False,
                            ranges.get()));
}

// A typed text as the term search takes it; the words point into
// code_points.
struct ParsedQuery {
  std::vector<uint32_t> code_points;
  std::vector<terms::TypedWord> words;
  terms::TermQuery query;
};

void ParseQuery(PyObject* words_obj, PyObject* budgets_obj,
                PyObject* text_budget_obj, int others_prefix, int last_finished,
                unsigned int candidates, unsigned int limit, ParsedQuery& out) {
  const Py_ssize_t n = PyList_GET_SIZE(words_obj);
  if (n < 1 || static_cast<size_t>(n) > terms::kMaxTypedWords) {
    Raise(PyExc_ValueError, "search takes 1 to 8 words");
  }
  if (PyList_GET_SIZE(budgets_obj) != n) {
    Raise(PyExc_ValueError, "one budget per word");
  }
  std::vector<uint32_t>& code_points = out.code_points;
  std::vector<size_t> ends;
  for (Py_ssize_t i = 0; i < n; ++i) {
    AppendCodePoints(PyList_GET_ITEM(words_obj, i), code_points);
    const size_t begin = ends.empty() ? 0 : ends.back() + 1;
    const size_t length = code_points.size() - begin;
    if (length == 0 || length > terms::kMaxTypedWord) {
      Raise(PyExc_ValueError, "each word holds 1 to 32 code points");
    }
    code_points.push_back(' ');
    ends.push_back(code_points.size() - 1);
  }
  code_points.pop_back();
  out.words.resize(static_cast<size_t>(n));
  for (size_t i = 0; i < out.words.size(); ++i) {
    const size_t begin = i == 0 ? 0 : ends[i - 1] + 1;
    out.words[i].text =
        std::span<const uint32_t>(code_points).subspan(begin, ends[i] - begin);
    out.words[i].budget = SmallInt(PyList_GET_ITEM(budgets_obj, i), "budgets");
    out.words[i].prefix =
        i + 1 == out.words.size() ? last_finished == 0 : others_prefix != 0;
  }
  out.query = {out.words, code_points, SmallInt(text_budget_obj, "text_budget"),
               candidates, limit};
}

PyRef HitRows(const State& s, std::span<const terms::TermHit> hits) {
  PyRef list = Check(PyList_New(static_cast<Py_ssize_t>(hits.size())));
  for (size_t i = 0; i < hits.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                    RowOf(s, hits[i]).release());
  }
  return list;
}

// search(words, budgets, text_budget, words_as_prefixes, last_finished,
//        candidates, limit) -> [(term, text, count, how, corrected, ranges)]
PyObject* Search(PyObject* self, PyObject* args) {
  return Guarded([&]() -> PyObject* {
    PyObject* words_obj;
    PyObject* budgets_obj;
    PyObject* text_budget_obj;
    int others_prefix;
    int last_finished;
    unsigned int candidates;
    unsigned int limit;
    if (!PyArg_ParseTuple(args, "O!O!OppII:search", &PyList_Type, &words_obj,
                          &PyList_Type, &budgets_obj, &text_budget_obj,
                          &others_prefix, &last_finished, &candidates,
                          &limit)) {
      return nullptr;
    }
    ParsedQuery parsed;
    ParseQuery(words_obj, budgets_obj, text_budget_obj, others_prefix,
               last_finished, candidates, limit, parsed);
    const State& s = StateOf(self);
    std::vector<terms::TermHit> hits;
    WithoutGil(
        [&] { hits = terms::SearchTerms(*s.trie, s.table, parsed.query); });
    return HitRows(s, hits).release();
  });
}

// The video rows of one group of hits: (video, score, corrected, how).
PyRef VideoRows(std::span<const terms::TermHit> hits,
                std::span<const terms::TermVideo> videos) {
  static const char* kHows[] = {"start", "word", "order"};
  PyRef list = Check(PyList_New(static_cast<Py_ssize_t>(videos.size())));
  for (size_t i = 0; i < videos.size(); ++i) {
    const terms::TermVideo& v = videos[i];
    const terms::Match& m = hits[v.hit].match;
    PyRef id = Check(PyUnicode_FromStringAndSize(v.text.data(), v.text_size));
    PyRef score = Check(PyFloat_FromDouble(v.score));
    PyRef how =
        Check(PyUnicode_InternFromString(kHows[static_cast<size_t>(m.how)]));
    PyList_SET_ITEM(
        list.get(), static_cast<Py_ssize_t>(i),
        Check(PyTuple_Pack(4, id.get(), score.get(),
                           m.corrected ? Py_True : Py_False, how.get()))
            .release());
  }
  return list;
}

// search_videos(index, words, budgets, text_budget, words_as_prefixes,
//               last_finished, candidates, limit, video_terms, video_limit,
//               min_score) -> (hits, typed rows, corrected rows)
PyObject* SearchVideos(PyObject* self, PyObject* args) {
  return Guarded([&]() -> PyObject* {
    PyObject* index_obj;
    PyObject* words_obj;
    PyObject* budgets_obj;
    PyObject* text_budget_obj;
    int others_prefix;
    int last_finished;
    unsigned int candidates;
    unsigned int limit;
    unsigned int video_terms;
    PyObject* video_limit_obj;
    double min_score;
    if (!PyArg_ParseTuple(args, "OO!O!OppIIIOd:search_videos", &index_obj,
                          &PyList_Type, &words_obj, &PyList_Type, &budgets_obj,
                          &text_budget_obj, &others_prefix, &last_finished,
                          &candidates, &limit, &video_terms, &video_limit_obj,
                          &min_score)) {
      return nullptr;
    }
    const SearchIndex& index = PrefixSearchIndex(index_obj);
    std::optional<uint32_t> video_limit;
    if (video_limit_obj != Py_None) {
      const unsigned long v = PyLong_AsUnsignedLong(video_limit_obj);
      if (v == static_cast<unsigned long>(-1) && PyErr_Occurred())
        throw PyErrorAlreadySet{};
      if (v > UINT32_MAX) Raise(PyExc_ValueError, "video_limit is too large");
      video_limit = static_cast<uint32_t>(v);
    }
    ParsedQuery parsed;
    ParseQuery(words_obj, budgets_obj, text_budget_obj, others_prefix,
               last_finished, candidates, limit, parsed);
    const State& s = StateOf(self);
    std::vector<terms::TermHit> hits;
    std::vector<terms::TermHit> typed;
    std::vector<terms::TermHit> corrected;
    std::vector<terms::TermVideo> typed_videos;
    std::vector<terms::TermVideo> corrected_videos;
    WithoutGil([&] {
      hits = terms::SearchTerms(*s.trie, s.table, parsed.query);
      // What the text reaches from the start without edits the index's own
      // search lists already.
      for (const terms::TermHit& h : hits) {
        if (h.match.corrected) {
          corrected.push_back(h);
        } else if (h.match.how != terms::How::kStart) {
          typed.push_back(h);
        }
      }
      // The list holds at most video_limit videos, some of them found
      // before: rows past twice that are never used.
      std::optional<size_t> rows;
      if (video_limit) rows = 2 * size_t{*video_limit};
      const terms::TermVideoQuery q{video_limit, min_score, video_terms, rows};
      typed_videos = terms::TermVideos(index, s.table, typed, q);
      corrected_videos = terms::TermVideos(index, s.table, corrected, q);
    });
    PyRef hit_rows = HitRows(s, hits);
    PyRef typed_rows = VideoRows(typed, typed_videos);
    PyRef corrected_rows = VideoRows(corrected, corrected_videos);
    return PyTuple_Pack(3, hit_rows.get(), typed_rows.get(),
                        corrected_rows.get());
  });
}

// term(number) -> (text, count)
PyObject* Term(PyObject* self, PyObject* arg) {
  return Guarded([&]() -> PyObject* {
    const State& s = StateOf(self);
    const unsigned long k = PyLong_AsUnsignedLong(arg);
    if (k == static_cast<unsigned long>(-1) && PyErr_Occurred())
      throw PyErrorAlreadySet{};
    if (k >= s.table.size())
      Raise(PyExc_IndexError, "term number out of range");
    const std::string_view text = s.table.text(static_cast<uint32_t>(k));
    PyRef str = Check(PyUnicode_DecodeUTF8(
        text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    PyRef count =
        Check(PyLong_FromUnsignedLong(s.table.count(static_cast<uint32_t>(k))));
    return PyTuple_Pack(2, str.get(), count.get());
  });
}

// The two sections again, so that a TermIndex pickles.
PyObject* Reduce(PyObject* self, PyObject*) {
  return Guarded([&]() -> PyObject* {
    const State& s = StateOf(self);
    const Trie& trie = s.trie->trie();
    const size_t size = EncodedSize(trie);
    PyRef bytes = Check(
        PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    Encode(trie,
           {reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(bytes.get())), size});
    PyRef args = Check(PyTuple_Pack(2, bytes.get(), s.table_bytes.get()));
    return PyTuple_Pack(2, reinterpret_cast<PyObject*>(Py_TYPE(self)),
                        args.get());
  });
}

Py_ssize_t Length(PyObject* self) {
  return static_cast<Py_ssize_t>(StateOf(self).table.size());
}

PyMethodDef kMethods[] = {
    {"search", Search, METH_VARARGS,
     "search(words, budgets, text_budget, words_as_prefixes, last_finished, "
     "candidates, "
     "limit) -> [(term, text, count, how, corrected, ranges)]"},
    {"search_videos", SearchVideos, METH_VARARGS,
     "search_videos(index, words, budgets, text_budget, words_as_prefixes, "
     "last_finished, candidates, limit, video_terms, video_limit, min_score) "
     "-> (hits, typed rows, corrected rows): search() and the videos of the "
     "hits in the index (a PrefixSearch), each row (video, score, corrected, "
     "how)"},
    {"term", Term, METH_O, "term(number) -> (text, count)"},
    {"__reduce__", Reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(New)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Dealloc)},
    {Py_tp_methods, kMethods},
    {Py_sq_length, reinterpret_cast<void*>(Length)},
    {Py_tp_doc, const_cast<char*>(
                    "TermIndex(trie, table): the terms of an index, searched "
                    "word by word in any order")},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "_quillomar_build.TermIndex",
    sizeof(TermIndexObject),
    0,
    Py_TPFLAGS_DEFAULT,
    kSlots,
};

}  // namespace

PyTypeObject* TermIndexType() { return HeapType<kSpec>(); }

}  // namespace quillomar::py
