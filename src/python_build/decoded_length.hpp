// decoded_length(data) -> int: where an encoded index ends in `data`.
#pragma once

#include "python_common/py_ref.hpp"

namespace quillomar::py {

// decoded_length(data) -> how many leading bytes of `data` (any contiguous
// buffer) the index decoder reads; raises ValueError("decode error: ...")
// when they hold no index. Whatever follows is not looked at, so a file
// of any size is judged in one native pass.
PyObject* DecodedLength(PyObject* module, PyObject* data);

inline constexpr const char* kDecodedLengthDoc =
    "decoded_length(data): how many leading bytes of data the index decoder "
    "reads; ValueError when they hold no index.";

}  // namespace quillomar::py
