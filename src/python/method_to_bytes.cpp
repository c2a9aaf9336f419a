#include "python/errors.hpp"
#include "python/prefix_search.hpp"

namespace quillomar::py {

PyObject* ToBytesMethod(PyObject* self, PyObject*) {
  return Guarded([&]() -> PyObject* {
    const SearchIndex& index = IndexOf(self);
    (void)index;
    Raise(PyExc_NotImplementedError, "to_bytes is not implemented yet");
  });
}

}  // namespace quillomar::py
