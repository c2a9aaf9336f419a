// The TermIndex type: the term trie and term table of an index file, and
// the any-word, any-order search over them.
#pragma once

#include "python/py_ref.hpp"

namespace quillomar::pybuild {

PyTypeObject* TermIndexType();

}  // namespace quillomar::pybuild
