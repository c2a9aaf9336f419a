// The video statistics of every node of a trie, stored flat.
//
// A node's payload is optional and holds a total count plus two lists, video
// numbers and their counts. Instead of two vectors per node (millions of heap
// blocks for a large index) every list lives in one shared array and nodes
// refer to it by offset: node v's ids are
//   video_ids[id_offsets[v] .. id_offsets[v + 1])
// and its counts are found the same way through count_offsets. Built indexes
// always have as many counts as ids, so count_offsets is normally empty and
// id_offsets serves both; it is kept only for decoded payloads whose two
// lists differ in length.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/panic.hpp"

namespace quillomar {

class PayloadTable {
 public:
  using Offset = uint32_t;

  // Number of node entries (present or absent).
  size_t size() const { return present_.size(); }
  bool empty() const { return present_.empty(); }

  // REQUIRES: v < size().
  bool present(size_t v) const { return present_[v] != 0; }
  uint32_t total_count(size_t v) const { return total_count_[v]; }
  std::span<const uint32_t> video_ids(size_t v) const {
    return {video_ids_.data() + id_offsets_[v],
            video_ids_.data() + id_offsets_[v + 1]};
  }
  std::span<const uint32_t> video_counts(size_t v) const {
    const std::vector<Offset>& off =
        count_offsets_.empty() ? id_offsets_ : count_offsets_;
    return {video_counts_.data() + off[v], video_counts_.data() + off[v + 1]};
  }

  // True when every node has exactly as many counts as ids.
  bool lists_paired() const { return count_offsets_.empty(); }
  // Ids over all nodes, for sizing.
  size_t total_ids() const { return video_ids_.size(); }

  // --- Building: nodes are appended in order 0, 1, 2, ... ---

  // Reserves room for `nodes` nodes and the given list totals. A hint only.
  void Reserve(size_t nodes, size_t ids, size_t counts);
  void AppendAbsent() { AppendNode(false, 0); }
  // Appends a present node whose lists are given whole.
  void AppendPresent(uint32_t total_count, std::span<const uint32_t> ids,
                     std::span<const uint32_t> counts);
  // A sealed table that takes over complete arrays, for decoders that fill
  // flat arrays directly instead of appending node by node.
  // REQUIRES: present and total_counts have one entry per node; each offsets
  // array has one more, starts at 0, never decreases and ends at the size
  // of its list. count_offsets may instead be empty, meaning "equal to
  // id_offsets".
  static PayloadTable FromArrays(std::vector<uint8_t> present,
                                 std::vector<uint32_t> total_counts,
                                 std::vector<Offset> id_offsets,
                                 std::vector<uint32_t> video_ids,
                                 std::vector<Offset> count_offsets,
                                 std::vector<uint32_t> video_counts);

  // Ends building: drops the separate count offsets when every node has as
  // many counts as ids, and returns spare capacity. Call once, after the last
  // node; the accessors above are valid only after it.
  void Seal();

  // Raw arrays, for the codec.
  const std::vector<uint8_t>& present_flags() const { return present_; }
  const std::vector<uint32_t>& total_counts_array() const {
    return total_count_;
  }
  // Every node's ids (counts) one after the other, in node order, and the
  // size() + 1 offsets that delimit each node's share of them.
  const std::vector<uint32_t>& all_video_ids() const { return video_ids_; }
  const std::vector<uint32_t>& all_video_counts() const {
    return video_counts_;
  }
  std::span<const Offset> id_offsets() const { return id_offsets_; }
  std::span<const Offset> count_offsets() const {
    return count_offsets_.empty() ? id_offsets_ : count_offsets_;
  }

  // --- Rewriting a sealed table into a new one over its storage ---

  // Node v's total, to be overwritten while the lists are still read.
  // REQUIRES: v < size().
  uint32_t& mutable_total_count(size_t v) { return total_count_[v]; }

  // The arrays, moved out; the table is left empty and unsealed. They keep
  // the layout FromArrays takes (count_offsets empty when paired).
  struct Arrays {
    std::vector<uint8_t> present;
    std::vector<uint32_t> total_counts;
    std::vector<Offset> id_offsets;
    std::vector<uint32_t> video_ids;
    std::vector<Offset> count_offsets;
    std::vector<uint32_t> video_counts;
  };
  Arrays Release();

  friend bool operator==(const PayloadTable&, const PayloadTable&) = default;

 private:
  void AppendNode(bool present, uint32_t total_count);

  std::vector<uint8_t> present_;
  std::vector<uint32_t> total_count_;
  std::vector<Offset> id_offsets_{0};
  std::vector<uint32_t> video_ids_;
  std::vector<Offset> count_offsets_{0};  // empty once sealed and paired
  std::vector<uint32_t> video_counts_;
};

}  // namespace quillomar
