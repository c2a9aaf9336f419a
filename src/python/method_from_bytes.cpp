#include <variant>

#include "core/trie/trie_codec.hpp"
#include "python/prefix_search.hpp"
#include "python_common/binding.hpp"
#include "python_common/convert.hpp"
#include "python_common/errors.hpp"

namespace quillomar::py {

PyObject* FromBytes(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                    PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    PyObject* slots[kMaxParams];
    BindArguments(signatures::kFromBytes, args, nargsf, kwnames, slots);
    std::span<const uint8_t> bytes =
        ConvertArgument(signatures::kFromBytes, slots, 0, ToBytes);
    std::variant<Trie, codec::DecodeError> decoded = Decode(bytes);
    if (auto* err = std::get_if<codec::DecodeError>(&decoded)) {
      Raise(PyExc_ValueError, "decode error: " + err->ToString());
    }
    return NewPrefixSearch(std::get<Trie>(std::move(decoded)));
  });
}

}  // namespace quillomar::py
