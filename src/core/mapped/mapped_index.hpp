// An index read in place from its search section (section_format.hpp),
// typically a read-only shared mapping of the index file: opening checks
// the header and where each array lies in time independent of the index's
// size, and nothing is copied, decoded or derived.
//
// The arrays' values are not checked: every read a search makes through
// them is bounded instead (RecordTrie, ReversedTerms, LabelPairs and the
// payload reads below), and a walk stops after expanding as many nodes as
// the trie has. Damaged bytes can make a search answer wrongly or raise
// Panic, never read outside the section or run without end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "core/index/label_pairs.hpp"
#include "core/index/reversed_terms.hpp"
#include "core/index/search_records.hpp"
#include "core/mapped/section_format.hpp"
#include "core/ranking/video_ranking.hpp"
#include "core/trie/trie.hpp"

namespace quillomar::mapped {

// What the forward-backward walk reads, as SearchIndex's ForwardBackwardData.
struct MappedForwardBackward {
  std::span<const uint32_t> ranks;
  ReversedTerms reversed;
  LabelPairs forward_pairs;
  LabelPairs reversed_pairs;

  bool empty() const { return reversed.empty(); }
};

class MappedIndex {
 public:
  static constexpr bool kOwnsTrie = false;

  // The index in `section`, which must stay readable and unchanged while
  // the index is used; or the reason it cannot be read.
  static std::variant<MappedIndex, std::string> Open(
      std::span<const uint8_t> section);

  MappedIndex(MappedIndex&&) = default;

  // --- What the walks read (see Walk in matcher/dispatch.hpp) ---
  size_t node_count() const { return records_.size(); }
  bool sound() const { return true; }  // every read is bounded
  std::span<const SearchRecord> records() const { return records_; }
  RecordTrie record_trie() const {
    return {records_.data(), records_.size(), slot_count_, records_.size()};
  }
  // Null when the section has no reversed-term arrays.
  const MappedForwardBackward* forward_backward() const {
    return forward_backward_.empty() ? nullptr : &forward_backward_;
  }

  // --- The ranking ---
  IdMode id_mode() const { return id_mode_; }
  std::span<const Uuid> uuid_ids() const { return uuid_ids_; }
  std::span<const uint32_t> int32_ids() const { return int32_ids_; }

  // Bytes of each array, in ArrayKind order.
  const std::array<uint64_t, kArrayCount>& part_bytes() const {
    return part_bytes_;
  }

  // Payload reads for ranking::Accumulate. REQUIRES: v < node_count() (the
  // walks give no other node); the lists are cut to the stored arrays.
  bool Terminal(uint32_t v) const { return records_[v].terminal(); }
  bool Present(uint32_t v) const { return present_[v] != 0; }
  uint32_t TotalCount(uint32_t v) const { return totals_[v]; }
  std::span<const uint32_t> VideoIds(uint32_t v) const {
    const size_t lo = std::min<size_t>(offsets_[v], video_ids_.size());
    const size_t hi =
        std::clamp<size_t>(offsets_[size_t{v} + 1], lo, video_ids_.size());
    return video_ids_.subspan(lo, hi - lo);
  }
  std::span<const uint32_t> VideoCounts(uint32_t,
                                        std::span<const uint32_t> ids) const {
    // As many counts as ids, at the same places (checked at open).
    return video_counts_.subspan(
        static_cast<size_t>(ids.data() - video_ids_.data()), ids.size());
  }

 private:
  MappedIndex() = default;

  std::span<const SearchRecord> records_;
  uint32_t slot_count_ = 0;
  MappedForwardBackward forward_backward_;
  std::span<const uint8_t> present_;
  std::span<const uint32_t> totals_;
  std::span<const uint32_t> offsets_;
  std::span<const uint32_t> video_ids_;
  std::span<const uint32_t> video_counts_;
  std::span<const Uuid> uuid_ids_;
  std::span<const uint32_t> int32_ids_;
  IdMode id_mode_ = IdMode::kUuid;
  std::array<uint64_t, kArrayCount> part_bytes_{};
};

// The searches of the mapped index, as for SearchIndex (term_matching.hpp,
// node_matching.hpp, video_ranking.hpp).
std::vector<RankedVideo> RankVideos(const MappedIndex& index,
                                    std::span<const uint32_t> query,
                                    const VideoQuery& options);

}  // namespace quillomar::mapped
