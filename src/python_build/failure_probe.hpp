// A private entry point that fails on purpose, once for each kind of C++
// failure the core can raise, so that tests can hold the boundary's mapping
// of failures to Python exceptions to the same rule in both modules.
#pragma once

#include "python_common/py_ref.hpp"

namespace quillomar::py {

// _fail_as(kind): raises what the boundary makes of a failure of `kind`:
// "panic" (a broken invariant), "capacity" (a size no container can hold),
// "memory" (an allocation refused), "other" (any other standard exception)
// or "unknown" (something that is not a standard exception at all).
PyObject* FailAs(PyObject* module, PyObject* kind);

}  // namespace quillomar::py
