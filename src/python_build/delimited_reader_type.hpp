// The DelimitedReader type: feeds the bytes of a CSV or TSV log (after its
// header line) to an Aggregator, chunk by chunk.
#pragma once

#include "python/py_ref.hpp"

namespace quillomar::pybuild {

PyTypeObject* DelimitedReaderType();

}  // namespace quillomar::pybuild
