#include "python/prefix_search.hpp"
#include "python_common/search_calls.hpp"

namespace quillomar::py {

PyObject* FuzzyMatch(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                     PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    return FuzzyMatchCall(self, args, nargsf, kwnames, IndexOf);
  });
}

}  // namespace quillomar::py
