// BadRecordError: one record of a batch or one row of a log refused, with
// the position that lets the caller name it.
#pragma once

#include <cstdint>
#include <string_view>

#include "python_common/py_ref.hpp"

namespace quillomar::py {

// The module's BadRecordError (a ValueError whose args are (message, row)).
// NULL with an error set if it cannot be created.
PyObject* BadRecordErrorType();

// Raises BadRecordError(message, row) (thrown as PyErrorAlreadySet).
[[noreturn]] void RaiseBadRecord(std::string_view message, uint64_t row);

}  // namespace quillomar::py
