// The Aggregator type: the aggregated records of one build, fed with column
// batches, and the index built from them.
#pragma once

#include "core/build/aggregate.hpp"
#include "python_common/py_ref.hpp"

namespace quillomar::py {

PyTypeObject* AggregatorType();

// The aggregate behind an Aggregator object; raises TypeError for any other
// object and RuntimeError once the aggregate has been consumed.
build::Aggregate& AggregateOf(PyObject* o);

}  // namespace quillomar::py
