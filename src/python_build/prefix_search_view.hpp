// The search index held by a `_quillomar.PrefixSearch`, for the searches of
// this module that read an index's own nodes. Both modules are built from
// one tree into one package, so the object's layout is the one in
// python/prefix_search.hpp; the type and its size are checked before the
// object is read.
#pragma once

#include "core/index/search_index.hpp"
#include "python_common/py_ref.hpp"

namespace quillomar::py {

// The index inside `o`, or TypeError (thrown as PyErrorAlreadySet) when
// `o` is not a PrefixSearch. The caller keeps `o` alive while it reads.
const SearchIndex& PrefixSearchIndex(PyObject* o);

}  // namespace quillomar::py
