#include "core/trie/construction_checks.hpp"

#include <algorithm>
#include <cstring>

#include "core/codec/reader.hpp"
#include "core/trie/soundness.hpp"

namespace quillomar {

std::optional<std::string> ShapeError(const Trie& t, size_t payload_count) {
  const std::optional<ShapeFault> fault = FirstShapeFault(t, payload_count);
  if (!fault) return std::nullopt;
  const std::string n = std::to_string(t.node_count());
  const std::string index = std::to_string(fault->index);
  const std::string value = std::to_string(fault->value);
  switch (fault->kind) {
    case ShapeFault::Kind::kShiftCount:
      return "node_shifts len " + value + " != child_labels len " + n;
    case ShapeFault::Kind::kPayloadCount:
      return "payloads len " + value + " != child_labels len " + n;
    case ShapeFault::Kind::kChildRange:
      return "child_transitions[" + index + "] = " + value +
             " out of range [0.." + n + ")";
    case ShapeFault::Kind::kSlotRange:
      return "node_shifts[" + index + "] = " + value + " out of range [0.." +
             std::to_string(t.child_transitions.size()) + "]";
  }
  return std::nullopt;
}

std::optional<std::string> SetIdentifiers(std::span<const size_t> sizes,
                                          std::span<const uint8_t> bytes,
                                          Trie& t) {
  auto all_of_size = [&](size_t size) {
    return std::all_of(sizes.begin(), sizes.end(),
                       [size](size_t s) { return s == size; });
  };
  const uint8_t* p = bytes.data();
  if (sizes.empty()) {
    t.id_mode = IdMode::kUuid;
  } else if (all_of_size(4) && bytes.size() == 4 * sizes.size()) {
    t.id_mode = IdMode::kInt32;
    t.int32_ids.resize(sizes.size());
    for (size_t k = 0; k < sizes.size(); ++k, p += 4) {
      t.int32_ids[k] = codec::LoadLe32(p);
    }
  } else if (all_of_size(16) && bytes.size() == 16 * sizes.size()) {
    t.id_mode = IdMode::kUuid;
    t.uuid_ids.resize(sizes.size());
    for (size_t k = 0; k < sizes.size(); ++k, p += 16) {
      std::memcpy(t.uuid_ids[k].data(), p, 16);
    }
  } else {
    return "video_index entries must be all 16 bytes (UUID) or all 4 bytes "
           "(int32)";
  }
  return std::nullopt;
}

}  // namespace quillomar
