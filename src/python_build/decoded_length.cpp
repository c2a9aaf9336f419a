#include "python_build/decoded_length.hpp"

#include <cstdint>
#include <span>
#include <variant>

#include "core/trie/trie_codec.hpp"
#include "python_build/buffer_columns.hpp"
#include "python_common/errors.hpp"

namespace quillomar::py {

PyObject* DecodedLength(PyObject*, PyObject* data) {
  return Guarded([&]() -> PyObject* {
    const BufferView view(data, "data");
    const std::span<const uint8_t> bytes(
        reinterpret_cast<const uint8_t*>(view.data()), view.bytes());
    const std::variant<size_t, codec::DecodeError> found =
        quillomar::DecodedLength(bytes);
    if (const auto* err = std::get_if<codec::DecodeError>(&found)) {
      Raise(PyExc_ValueError, "decode error: " + err->ToString());
    }
    return PyLong_FromSize_t(std::get<size_t>(found));
  });
}

}  // namespace quillomar::py
