#include <utility>
#include <vector>

#include "core/trie/construction_checks.hpp"
#include "core/trie/propagate.hpp"
#include "python/array_input.hpp"
#include "python/prefix_search.hpp"
#include "python_common/binding.hpp"
#include "python_common/convert.hpp"
#include "python_common/errors.hpp"

namespace quillomar::py {

PyObject* FromInternalDataV2(PyObject*, PyObject* const* args,
                             Py_ssize_t nargsf, PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    PyObject* slots[kMaxParams];
    BindArguments(signatures::kFromInternalDataV2, args, nargsf, kwnames,
                  slots);
    const Signature& sig = signatures::kFromInternalDataV2;
    Trie trie;
    trie.node_shifts = ConvertArgument(sig, slots, 0, ReadU32Sequence);
    trie.child_labels = ConvertArgument(sig, slots, 1, ReadLabels);
    std::vector<PyRef> payloads = ConvertArgument(sig, slots, 2, ReadObjects);
    trie.child_transitions = ConvertArgument(sig, slots, 3, ReadU32Sequence);
    const ByteEntries video_index =
        ConvertArgument(sig, slots, 4, ReadByteEntries);
    const uint32_t top_n = ConvertArgument(sig, slots, 5, ToU32);

    if (auto error = ShapeError(trie, payloads.size())) {
      Raise(PyExc_ValueError, *error);
    }
    trie.is_terminal.resize(payloads.size());
    for (size_t v = 0; v < payloads.size(); ++v) {
      trie.is_terminal[v] = payloads[v].get() != Py_None ? 1 : 0;
    }
    ConvertPayloads(payloads, trie.payloads);
    if (auto error =
            SetIdentifiers(video_index.sizes, video_index.bytes, trie)) {
      Raise(PyExc_ValueError, *error);
    }
    propagate(trie, top_n);
    return NewPrefixSearch(std::move(trie));
  });
}

}  // namespace quillomar::py
