#include "python/prefix_search.hpp"

#include <iterator>
#include <new>
#include <string>

#include "python_common/convert.hpp"
#include "python_common/errors.hpp"
#include "python_common/method_signatures.hpp"
#include "python_common/module_setup.hpp"

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

template <PyObject* (*F)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)>
PyCFunction Fastcall() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

// Each docstring is the text signature, "\n--\n\n" and nothing else, so that
// __text_signature__ is derived from it and __doc__ is None. The texts are
// filled in from the signature tables before the type is created.
PyMethodDef kMethods[] = {
    {"from_internal_data_v2", Fastcall<FromInternalDataV2>(),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC, nullptr},
    {"to_bytes", ToBytesMethod, METH_NOARGS, nullptr},
    {"from_bytes", Fastcall<FromBytes>(),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC, nullptr},
    {"fuzzy_match", Fastcall<FuzzyMatch>(), METH_FASTCALL | METH_KEYWORDS,
     nullptr},
    {"fuzzy_match_video", Fastcall<FuzzyMatchVideo>(),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// The signature of each entry of kMethods, in the same order.
const Signature* const kMethodSignatures[] = {
    &signatures::kFromInternalDataV2, &signatures::kToBytes,
    &signatures::kFromBytes, &signatures::kFuzzyMatch,
    &signatures::kFuzzyMatchVideo};

void FillDocStrings() {
  static std::string docs[std::size(kMethodSignatures)];
  for (size_t i = 0; i < std::size(kMethodSignatures); ++i) {
    docs[i] = DocString(*kMethodSignatures[i]);
    kMethods[i].ml_doc = docs[i].c_str();
  }
}

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
  static bool documented = false;
  if (!documented) {
    FillDocStrings();
    documented = true;
  }
  return HeapType<kSpec>();
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
