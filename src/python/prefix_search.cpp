#include "python/prefix_search.hpp"

#include <new>
#include <string>

#include "python/convert.hpp"
#include "python/errors.hpp"

namespace quillomar::py {
namespace {

PyObject* NoConstructor(PyTypeObject* type, PyObject*, PyObject*) {
  std::string name = "<unknown>";
  PyRef attr = PyRef::Steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__"));
  const char* utf8 = attr && PyUnicode_Check(attr.get())
                         ? PyUnicode_AsUTF8(attr.get())
                         : nullptr;
  if (utf8 != nullptr) name = utf8;
  PyErr_Clear();
  PyErr_Format(PyExc_TypeError, "No constructor defined for %s", name.c_str());
  return nullptr;
}

void Dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<PrefixSearchObject*>(self)->index.~SearchIndex();
  type->tp_free(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

// Each docstring is the text signature, "\n--\n\n" and nothing else, so that
// __text_signature__ is derived from it and __doc__ is None.
PyMethodDef kMethods[] = {
    {"from_internal_data_v2",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)()>(FromInternalDataV2)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_internal_data_v2(node_shifts, child_labels, payloads, "
     "child_transitions, video_index, video_top_n)\n--\n\n"},
    {"to_bytes", ToBytesMethod, METH_NOARGS, "to_bytes($self)\n--\n\n"},
    {"from_bytes",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(FromBytes)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC, "from_bytes(b)\n--\n\n"},
    {"fuzzy_match",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(FuzzyMatch)),
     METH_FASTCALL | METH_KEYWORDS,
     "fuzzy_match(term, max_dist=1, limit=None)\n--\n\n"},
    {"fuzzy_match_video",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)()>(FuzzyMatchVideo)),
     METH_FASTCALL | METH_KEYWORDS,
     "fuzzy_match_video(term, max_dist=1, limit=None, "
     "include_prefix_nodes=None, min_score=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(NoConstructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Dealloc)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "builtins.PrefixSearch",
    static_cast<int>(sizeof(PrefixSearchObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    kSlots,
};

}  // namespace

PyTypeObject* PrefixSearchType() {
  // Created under the GIL on first use and kept for the life of the process.
  static PyObject* type = nullptr;
  if (type == nullptr) type = PyType_FromSpec(&kSpec);
  return reinterpret_cast<PyTypeObject*>(type);
}

PyObject* NewPrefixSearch(Trie&& trie) {
  PyTypeObject* type = PrefixSearchType();
  if (type == nullptr) throw PyErrorAlreadySet{};
  // Derive everything that can fail before the object exists, so a failure
  // leaves nothing half-built.
  SearchIndex index(std::move(trie));
  PyRef obj = Check(type->tp_alloc(type, 0));
  new (&reinterpret_cast<PrefixSearchObject*>(obj.get())->index)
      SearchIndex(std::move(index));
  return obj.release();
}

const SearchIndex& IndexOf(PyObject* self) {
  PyTypeObject* type = PrefixSearchType();
  if (type == nullptr) throw PyErrorAlreadySet{};
  if (self == nullptr || !PyObject_TypeCheck(self, type)) {
    RaiseWrongType(self == nullptr ? Py_None : self, "PrefixSearch");
  }
  return reinterpret_cast<PrefixSearchObject*>(self)->index;
}

}  // namespace quillomar::py
