#include "core/mapped/section_writer.hpp"

#include <bit>
#include <cstring>

#include "core/trie/soundness.hpp"

namespace quillomar::mapped {
namespace {

template <class T>
std::span<const uint8_t> AsBytes(std::span<const T> v) {
  return {reinterpret_cast<const uint8_t*>(v.data()), v.size_bytes()};
}

template <class T>
void Put(uint8_t* at, T value) {
  std::memcpy(at, &value, sizeof(T));
}

// The slots of a depth-two table as stored: key, node, four zero bytes.
std::vector<uint8_t> PairBytes(const LabelPairs& pairs) {
  const std::span<const LabelPairs::Entry> slots = pairs.slots();
  std::vector<uint8_t> out(slots.size() * 16, 0);
  for (size_t i = 0; i < slots.size(); ++i) {
    Put(out.data() + 16 * i, slots[i].key);
    Put(out.data() + 16 * i + 8, slots[i].node);
  }
  return out;
}

}  // namespace

std::optional<SectionWriter> SectionWriter::Derive(const Trie& t) {
  if constexpr (std::endian::native != std::endian::little) {
    return std::nullopt;  // the arrays are written as they are in memory
  }
  if (t.node_count() == 0 || t.node_count() > UINT32_MAX || !IsSound(t)) {
    return std::nullopt;
  }
  SectionWriter w(t);
  w.records_ = DeriveSearchRecords(t);
  if (w.records_.empty()) return std::nullopt;
  w.forward_backward_ = DeriveForwardBackward(t, w.records_);
  w.forward_pairs_ = PairBytes(w.forward_backward_.forward_pairs);
  w.reversed_pairs_ = PairBytes(w.forward_backward_.reversed_pairs);
  size_t at = AlignUp(kHeaderSize + kArrayCount * kEntrySize);
  for (size_t k = 0; k < kArrayCount; ++k) {
    const size_t bytes = w.Bytes(static_cast<ArrayKind>(k)).size();
    w.places_[k] = {at, bytes / kElementSize[k]};
    at = AlignUp(at + bytes);
  }
  w.size_ = at;
  return w;
}

std::span<const uint8_t> SectionWriter::Bytes(ArrayKind kind) const {
  const ReversedTerms::Arrays& r = forward_backward_.reversed.arrays();
  const PayloadTable& p = t_->payloads;
  switch (kind) {
    case ArrayKind::kRecords:
      return AsBytes(std::span<const SearchRecord>(records_));
    case ArrayKind::kRanks:
      return AsBytes(std::span<const uint32_t>(forward_backward_.ranks));
    case ArrayKind::kReversedRecords:
      return AsBytes(r.records);
    case ArrayKind::kReversedTerms:
      return AsBytes(r.terms);
    case ArrayKind::kReversedShared:
      return AsBytes(r.shared);
    case ArrayKind::kReversedTerminals:
      return AsBytes(r.terminal_bits);
    case ArrayKind::kReversedBlockRanks:
      return AsBytes(r.block_ranks);
    case ArrayKind::kForwardPairs:
      return forward_pairs_;
    case ArrayKind::kReversedPairs:
      return reversed_pairs_;
    case ArrayKind::kPayloadPresent:
      return AsBytes(std::span<const uint8_t>(p.present_flags()));
    case ArrayKind::kPayloadTotals:
      return AsBytes(std::span<const uint32_t>(p.total_counts_array()));
    case ArrayKind::kPayloadOffsets:
      return AsBytes(p.id_offsets());
    case ArrayKind::kVideoIds:
      return AsBytes(std::span<const uint32_t>(p.all_video_ids()));
    case ArrayKind::kVideoCounts:
      return AsBytes(std::span<const uint32_t>(p.all_video_counts()));
    case ArrayKind::kUuidIds:
      return AsBytes(std::span<const Uuid>(t_->uuid_ids));
    case ArrayKind::kInt32Ids:
      return AsBytes(std::span<const uint32_t>(t_->int32_ids));
    case ArrayKind::kCount:
      break;
  }
  return {};
}

std::array<uint64_t, kArrayCount> SectionWriter::part_bytes() const {
  std::array<uint64_t, kArrayCount> out{};
  for (size_t k = 0; k < kArrayCount; ++k) {
    out[k] = places_[k].count * kElementSize[k];
  }
  return out;
}

void SectionWriter::Write(const Sink& sink) const {
  std::vector<uint8_t> head(places_[0].offset, 0);
  std::memcpy(head.data(), kMagic.data(), kMagic.size());
  uint32_t flags = 0;
  if (t_->id_mode == IdMode::kInt32) flags |= kFlagInt32Ids;
  if (!forward_backward_.empty()) flags |= kFlagTwoWay;
  Put<uint32_t>(head.data() + 8, kVersion);
  Put<uint32_t>(head.data() + 12, kByteOrder);
  Put<uint32_t>(head.data() + 16, flags);
  Put<uint32_t>(head.data() + 20, static_cast<uint32_t>(kArrayCount));
  Put<uint64_t>(head.data() + 24, t_->node_count());
  Put<uint64_t>(head.data() + 32, t_->child_transitions.size());
  Put<uint64_t>(head.data() + 40, forward_backward_.reversed.node_count());
  for (size_t k = 0; k < kArrayCount; ++k) {
    uint8_t* e = head.data() + kHeaderSize + k * kEntrySize;
    Put<uint32_t>(e, static_cast<uint32_t>(k));
    Put<uint32_t>(e + 4, kElementSize[k]);
    Put<uint64_t>(e + 8, places_[k].offset);
    Put<uint64_t>(e + 16, places_[k].count);
  }
  sink(head);
  static constexpr uint8_t kZeros[kAlignment] = {};
  size_t at = head.size();
  for (size_t k = 0; k < kArrayCount; ++k) {
    const std::span<const uint8_t> bytes = Bytes(static_cast<ArrayKind>(k));
    if (!bytes.empty()) sink(bytes);
    at += bytes.size();
    const size_t end = k + 1 < kArrayCount ? places_[k + 1].offset : size_;
    if (end > at) sink({kZeros, end - at});
    at = end;
  }
}

}  // namespace quillomar::mapped
