#include "core/ranking/video_ranking.hpp"

#include "core/panic.hpp"

namespace quillomar {
namespace {

// The payload reads of an index that keeps every structural rule
// (SearchIndex::sound()): the matched node has a terminal flag and a
// payload, and every payload as many counts as ids.
struct SoundReads {
  const Trie& t;
  bool Terminal(uint32_t v) const { return t.is_terminal[v] != 0; }
  bool Present(uint32_t v) const { return t.payloads.present(v); }
  uint32_t TotalCount(uint32_t v) const { return t.payloads.total_count(v); }
  std::span<const uint32_t> VideoIds(uint32_t v) const {
    return t.payloads.video_ids(v);
  }
  std::span<const uint32_t> VideoCounts(uint32_t v,
                                        std::span<const uint32_t>) const {
    return t.payloads.video_counts(v);
  }
};

// Otherwise each of those reads is checked, and a broken index raises Panic
// at the first one that would leave an array.
struct CheckedReads : SoundReads {
  bool Terminal(uint32_t v) const { return CheckedAt(t.is_terminal, v); }
  bool Present(uint32_t v) const {
    if (v >= t.payloads.size()) PanicIndexOutOfBounds(t.payloads.size(), v);
    return t.payloads.present(v);
  }
  std::span<const uint32_t> VideoCounts(uint32_t v,
                                        std::span<const uint32_t> ids) const {
    const std::span<const uint32_t> counts = t.payloads.video_counts(v);
    if (counts.size() < ids.size()) {
      PanicIndexOutOfBounds(counts.size(), counts.size());
    }
    return counts;
  }
};

}  // namespace

std::vector<RankedVideo> RankVideos(const SearchIndex& index,
                                    std::span<const uint32_t> query,
                                    const VideoQuery& options) {
  const Trie& t = index.trie();
  const size_t id_count =
      t.id_mode == IdMode::kInt32 ? t.int32_ids.size() : t.uuid_ids.size();
  if (index.sound()) {
    return ranking::RankWith(index, SoundReads{t}, id_count, query, options);
  }
  return ranking::RankWith(index, CheckedReads{{t}}, id_count, query, options);
}

}  // namespace quillomar
