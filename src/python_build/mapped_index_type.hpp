// MappedIndex: an index searched in place in a buffer that holds its search
// section, typically a read-only shared mapping of the index file. It
// answers fuzzy_match and fuzzy_match_video with PrefixSearch's arguments,
// results and errors.
#pragma once

#include <Python.h>

namespace quillomar::py {

// The MappedIndex type, created on first use; NULL with an error set if it
// cannot be created.
PyTypeObject* MappedIndexType();

}  // namespace quillomar::py
