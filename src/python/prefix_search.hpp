// The PrefixSearch type: an object header plus one SearchIndex held by value.
#pragma once

#include "core/index/search_index.hpp"
#include "python_common/py_ref.hpp"

namespace quillomar::py {

struct PrefixSearchObject {
  PyObject_HEAD SearchIndex index;
};

// The PrefixSearch type, created on first use. NULL with an error set if it
// cannot be created.
PyTypeObject* PrefixSearchType();

// A new PrefixSearch owning `trie`. Throws PyErrorAlreadySet on failure.
PyObject* NewPrefixSearch(Trie&& trie);

// The index of `self`, or TypeError "'T' object cannot be converted to
// 'PrefixSearch'" (thrown as PyErrorAlreadySet).
const SearchIndex& IndexOf(PyObject* self);

// Method wrappers, one file each.
PyObject* FromInternalDataV2(PyObject* self, PyObject* const* args,
                             Py_ssize_t nargsf, PyObject* kwnames);
PyObject* ToBytesMethod(PyObject* self, PyObject* unused);
PyObject* FromBytes(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                    PyObject* kwnames);
PyObject* FuzzyMatch(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                     PyObject* kwnames);
PyObject* FuzzyMatchVideo(PyObject* self, PyObject* const* args,
                          Py_ssize_t nargsf, PyObject* kwnames);

}  // namespace quillomar::py
