#include <utility>
#include <vector>

#include "core/trie/construction_checks.hpp"
#include "core/trie/propagate.hpp"
#include "python/array_input.hpp"
#include "python/binding.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/prefix_search.hpp"

namespace quillomar::py {

PyObject* FromInternalDataV2(PyObject*, PyObject* const* args,
                             Py_ssize_t nargsf, PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    PyObject* slots[kMaxParams];
    BindArguments(signatures::kFromInternalDataV2, args, nargsf, kwnames,
                  slots);
    Trie trie;
    trie.node_shifts =
        NamedArgument("node_shifts", [&] { return ReadU32Sequence(slots[0]); });
    trie.child_labels =
        NamedArgument("child_labels", [&] { return ReadLabels(slots[1]); });
    std::vector<PyRef> payloads =
        NamedArgument("payloads", [&] { return ReadObjects(slots[2]); });
    trie.child_transitions = NamedArgument(
        "child_transitions", [&] { return ReadU32Sequence(slots[3]); });
    const ByteEntries video_index =
        NamedArgument("video_index", [&] { return ReadByteEntries(slots[4]); });
    const uint32_t top_n =
        NamedArgument("video_top_n", [&] { return ToU32(slots[5]); });

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
