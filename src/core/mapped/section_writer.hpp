// Deriving the search section of an index (section_format.hpp) from its
// Trie and writing it out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "core/index/search_index.hpp"
#include "core/index/search_records.hpp"
#include "core/mapped/section_format.hpp"
#include "core/trie/trie.hpp"

namespace quillomar::mapped {

class SectionWriter {
 public:
  // Receives the section's bytes in order, from offset 0 to size() without
  // a gap (the padding between arrays is passed as zero bytes).
  using Sink = std::function<void(std::span<const uint8_t>)>;

  // The section of `t`, or nullopt when the searches could not run on it
  // in place: an index that is not sound, or not in the breadth-first
  // layout the search records need. `t` must outlive the writer.
  static std::optional<SectionWriter> Derive(const Trie& t);

  size_t size() const { return size_; }
  // Byte length of each array, in ArrayKind order.
  std::array<uint64_t, kArrayCount> part_bytes() const;

  void Write(const Sink& sink) const;

 private:
  explicit SectionWriter(const Trie& t) : t_(&t) {}
  std::span<const uint8_t> Bytes(ArrayKind kind) const;

  const Trie* t_;
  std::vector<SearchRecord> records_;
  ForwardBackwardData forward_backward_;
  std::vector<uint8_t> forward_pairs_;  // 16-byte entries, padding zeroed
  std::vector<uint8_t> reversed_pairs_;
  std::array<ArrayPlace, kArrayCount> places_{};
  size_t size_ = 0;
};

}  // namespace quillomar::mapped
