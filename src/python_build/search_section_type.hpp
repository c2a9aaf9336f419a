// SearchSection: the search section of an index (core/mapped/), derived
// and ready to be written after the encoded index.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>

#include "core/mapped/section_format.hpp"
#include "core/trie/trie.hpp"

namespace quillomar::py {

// The SearchSection type, created on first use; NULL with an error set if
// it cannot be created.
PyTypeObject* SearchSectionType();

// A new SearchSection of `trie` (derived without the interpreter lock), or
// None when the searches cannot run on the index in place. Throws
// PyErrorAlreadySet on failure.
PyObject* NewSearchSection(Trie&& trie);

// [(name, bytes)] of each array of a search section, in section order.
// Throws PyErrorAlreadySet on failure.
PyObject* PartList(const std::array<uint64_t, mapped::kArrayCount>& bytes);

// search_section(index_bytes): the section of an encoded index, or None.
PyObject* SearchSectionOf(PyObject* module, PyObject* arg);

}  // namespace quillomar::py
