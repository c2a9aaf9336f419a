#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "core/trie/propagate.hpp"
#include "python/array_input.hpp"
#include "python/binding.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/prefix_search.hpp"

namespace quillomar::py {
namespace {
const char* const kParams[] = {"node_shifts", "child_labels",
                               "payloads",    "child_transitions",
                               "video_index", "video_top_n"};
const Signature kSignature = {"PrefixSearch.from_internal_data_v2()", kParams,
                              6, 6};

// The shape checks, in their order of detection. The last one (a slot range
// ending beyond child_transitions) makes every array that passes safe to
// navigate: each node's non-empty range [shift[v], shift[v+1]) then ends at
// most at E, and the last node's range ends at E by definition.
void CheckShape(const Trie& t, size_t payload_count) {
  const size_t n = t.node_count();
  if (t.node_shifts.size() != n) {
    Raise(PyExc_ValueError, "node_shifts len " +
                                std::to_string(t.node_shifts.size()) +
                                " != child_labels len " + std::to_string(n));
  }
  if (payload_count != n) {
    Raise(PyExc_ValueError, "payloads len " + std::to_string(payload_count) +
                                " != child_labels len " + std::to_string(n));
  }
  const std::vector<uint32_t>& slots = t.child_transitions;
  for (size_t i = 0; i < slots.size(); ++i) {
    if (slots[i] >= n) {
      Raise(PyExc_ValueError, "child_transitions[" + std::to_string(i) +
                                  "] = " + std::to_string(slots[i]) +
                                  " out of range [0.." + std::to_string(n) +
                                  ")");
    }
  }
  const size_t e = slots.size();
  for (size_t i = 1; i < n; ++i) {
    const uint32_t v = t.node_shifts[i];
    if (v > e && v > t.node_shifts[i - 1]) {
      Raise(PyExc_ValueError,
            "node_shifts[" + std::to_string(i) + "] = " + std::to_string(v) +
                " out of range [0.." + std::to_string(e) + "]");
    }
  }
}

// Chooses the identifier mode from the entry sizes and fills its table.
void SetIdentifiers(const ByteEntries& entries, Trie& t) {
  const std::vector<size_t>& sizes = entries.sizes;
  auto all_of_size = [&](size_t size) {
    for (size_t s : sizes) {
      if (s != size) return false;
    }
    return true;
  };
  const uint8_t* p = entries.bytes.data();
  if (sizes.empty()) {
    t.id_mode = IdMode::kUuid;
  } else if (all_of_size(4)) {
    t.id_mode = IdMode::kInt32;
    t.int32_ids.resize(sizes.size());
    for (size_t k = 0; k < sizes.size(); ++k, p += 4) {
      t.int32_ids[k] = uint32_t{p[0]} | uint32_t{p[1]} << 8 |
                       uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
    }
  } else if (all_of_size(16)) {
    t.id_mode = IdMode::kUuid;
    t.uuid_ids.resize(sizes.size());
    for (size_t k = 0; k < sizes.size(); ++k, p += 16) {
      std::memcpy(t.uuid_ids[k].data(), p, 16);
    }
  } else {
    Raise(PyExc_ValueError,
          "video_index entries must be all 16 bytes (UUID) or all 4 bytes "
          "(int32)");
  }
}

}  // namespace

PyObject* FromInternalDataV2(PyObject*, PyObject* const* args,
                             Py_ssize_t nargsf, PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    PyObject* slots[kMaxParams];
    BindArguments(kSignature, args, nargsf, kwnames, slots);
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

    CheckShape(trie, payloads.size());
    trie.is_terminal.resize(payloads.size());
    for (size_t v = 0; v < payloads.size(); ++v) {
      trie.is_terminal[v] = payloads[v].get() != Py_None ? 1 : 0;
    }
    ConvertPayloads(payloads, trie.payloads);
    SetIdentifiers(video_index, trie);
    propagate(trie, top_n);
    return NewPrefixSearch(std::move(trie));
  });
}

}  // namespace quillomar::py
