#include "core/trie/construction_checks.hpp"

#include <algorithm>
#include <cstring>

namespace quillomar {

std::optional<std::string> ShapeError(const Trie& t, size_t payload_count) {
  const size_t n = t.node_count();
  if (t.node_shifts.size() != n) {
    return "node_shifts len " + std::to_string(t.node_shifts.size()) +
           " != child_labels len " + std::to_string(n);
  }
  if (payload_count != n) {
    return "payloads len " + std::to_string(payload_count) +
           " != child_labels len " + std::to_string(n);
  }
  const std::vector<uint32_t>& slots = t.child_transitions;
  for (size_t i = 0; i < slots.size(); ++i) {
    if (slots[i] >= n) {
      return "child_transitions[" + std::to_string(i) +
             "] = " + std::to_string(slots[i]) + " out of range [0.." +
             std::to_string(n) + ")";
    }
  }
  // A node's range [shift[v], shift[v+1]) is non-empty only when shift[v+1]
  // exceeds shift[v]; requiring such a shift to be at most E bounds every
  // range, and the last node's range ends at E by definition.
  const size_t e = slots.size();
  for (size_t i = 1; i < n; ++i) {
    const uint32_t v = t.node_shifts[i];
    if (v > e && v > t.node_shifts[i - 1]) {
      return "node_shifts[" + std::to_string(i) + "] = " + std::to_string(v) +
             " out of range [0.." + std::to_string(e) + "]";
    }
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
      t.int32_ids[k] = uint32_t{p[0]} | uint32_t{p[1]} << 8 |
                       uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
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
