// The TermIndex type: the term trie and term table of an index file, and
// the any-word, any-order search over them.
#pragma once

#include "python_common/py_ref.hpp"

namespace quillomar::py {

PyTypeObject* TermIndexType();

}  // namespace quillomar::py
