#include "core/payload/payload_table.hpp"

#include <utility>

namespace quillomar {

void PayloadTable::Reserve(size_t nodes, size_t ids, size_t counts) {
  present_.reserve(nodes);
  total_count_.reserve(nodes);
  id_offsets_.reserve(nodes + 1);
  count_offsets_.reserve(nodes + 1);
  video_ids_.reserve(ids);
  video_counts_.reserve(counts);
}

void PayloadTable::AppendNode(bool present, uint32_t total_count) {
  present_.push_back(present ? 1 : 0);
  total_count_.push_back(total_count);
  id_offsets_.push_back(id_offsets_.back());
  count_offsets_.push_back(count_offsets_.back());
}

void PayloadTable::AppendPresent(uint32_t total_count,
                                 std::span<const uint32_t> ids,
                                 std::span<const uint32_t> counts) {
  AppendNode(true, total_count);
  if (ids.size() > UINT32_MAX - id_offsets_.back() ||
      counts.size() > UINT32_MAX - count_offsets_.back()) {
    PanicCapacityOverflow();
  }
  video_ids_.insert(video_ids_.end(), ids.begin(), ids.end());
  video_counts_.insert(video_counts_.end(), counts.begin(), counts.end());
  id_offsets_.back() += static_cast<Offset>(ids.size());
  count_offsets_.back() += static_cast<Offset>(counts.size());
}

PayloadTable PayloadTable::FromArrays(std::vector<uint8_t> present,
                                      std::vector<uint32_t> total_counts,
                                      std::vector<Offset> id_offsets,
                                      std::vector<uint32_t> video_ids,
                                      std::vector<Offset> count_offsets,
                                      std::vector<uint32_t> video_counts) {
  PayloadTable t;
  t.present_ = std::move(present);
  t.total_count_ = std::move(total_counts);
  t.id_offsets_ = std::move(id_offsets);
  t.video_ids_ = std::move(video_ids);
  t.count_offsets_ = std::move(count_offsets);
  t.video_counts_ = std::move(video_counts);
  t.Seal();
  return t;
}

PayloadTable::Arrays PayloadTable::Release() {
  Arrays a{std::move(present_),       std::move(total_count_),
           std::move(id_offsets_),    std::move(video_ids_),
           std::move(count_offsets_), std::move(video_counts_)};
  *this = PayloadTable();
  return a;
}

void PayloadTable::Seal() {
  if (count_offsets_ == id_offsets_) {
    std::vector<Offset>().swap(count_offsets_);
  } else {
    count_offsets_.shrink_to_fit();
  }
  present_.shrink_to_fit();
  total_count_.shrink_to_fit();
  id_offsets_.shrink_to_fit();
  video_ids_.shrink_to_fit();
  video_counts_.shrink_to_fit();
}

}  // namespace quillomar
