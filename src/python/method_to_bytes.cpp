#include <limits>

#include "core/trie/trie_codec.hpp"
#include "python/prefix_search.hpp"
#include "python_common/errors.hpp"

namespace quillomar::py {

PyObject* ToBytesMethod(PyObject* self, PyObject*) {
  return Guarded([&]() -> PyObject* {
    const Trie& trie = IndexOf(self).trie();
    const size_t size = EncodedSize(trie);
    if (size > static_cast<size_t>(std::numeric_limits<Py_ssize_t>::max())) {
      PanicCapacityOverflow();
    }
    // The result is allocated once at its final size and encoded in place.
    PyRef bytes = Check(
        PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    Encode(trie,
           {reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(bytes.get())), size});
    return bytes.release();
  });
}

}  // namespace quillomar::py
