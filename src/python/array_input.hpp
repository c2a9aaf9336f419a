// Reading the array arguments of PrefixSearch.from_internal_data_v2.
//
// Every reader follows the sequence rule (a `str` is refused, then anything
// passing PySequence_Check is read element by element) and raises exactly
// the errors of that rule and of its element conversion, unprefixed; the
// caller adds the argument name. Fast paths (exact lists and tuples read
// without the iterator protocol, integer buffers, `bytes` entries) give the
// same values and, by falling back to the general path whenever they meet
// anything unusual, the same errors.
#pragma once

#include <cstdint>
#include <vector>

#include "core/payload/payload_table.hpp"
#include "python_common/py_ref.hpp"

namespace quillomar::py {

// A sequence of unsigned 32-bit integers (the element rule of ToU32). An
// object exposing a one-dimensional integer buffer (numpy arrays, array,
// memoryview, bytes) is read straight from the buffer.
std::vector<uint32_t> ReadU32Sequence(PyObject* seq);

// Appends the unsigned 32-bit elements of `seq` to `out` (as
// ReadU32Sequence) and returns how many were appended.
size_t AppendU32Sequence(PyObject* seq, std::vector<uint32_t>& out);

// A sequence of `str`: one label per element, the element's first code
// point, 0 for an empty string. An element with no UTF-8 form (a lone
// surrogate anywhere in it) raises UnicodeEncodeError; a non-str element
// the wrong-type TypeError naming "PyString".
std::vector<uint32_t> ReadLabels(PyObject* seq);

// A sequence of arbitrary objects, held (owned) unconverted.
std::vector<PyRef> ReadObjects(PyObject* seq);

// A sequence of byte strings: each entry is itself read by the sequence
// rule with elements by the byte rule (PyLong_AsLong, 0..255). Only the
// entry sizes and the bytes of 4- and 16-byte entries are kept (no other
// size can be used), so an oversized entry costs no memory.
struct ByteEntries {
  std::vector<size_t> sizes;
  std::vector<uint8_t> bytes;  // 4- and 16-byte entries, concatenated
};
ByteEntries ReadByteEntries(PyObject* seq);

// Converts payload items, held unconverted by ReadObjects, in node order
// and appends one node per item to `out` (which is then sealed). None is an
// absent payload; anything else must be a tuple (or tuple subclass) of
// exactly (total_count, video_ids, video_counts) with video_ids and
// video_counts of equal length. Errors carry no argument prefix. Each item's
// reference is released as soon as it has been converted.
void ConvertPayloads(std::vector<PyRef>& items, PayloadTable& out);

}  // namespace quillomar::py
