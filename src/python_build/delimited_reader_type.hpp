// The DelimitedReader type: feeds the bytes of a CSV or TSV log (after its
// header line) to an Aggregator, chunk by chunk.
#pragma once

#include "python_common/py_ref.hpp"

namespace quillomar::py {

PyTypeObject* DelimitedReaderType();

}  // namespace quillomar::py
