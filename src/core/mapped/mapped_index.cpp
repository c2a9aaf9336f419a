#include "core/mapped/mapped_index.hpp"

#include <bit>
#include <cstring>

namespace quillomar::mapped {
namespace {

template <class T>
T Load(const uint8_t* at) {
  T value;
  std::memcpy(&value, at, sizeof(T));
  return value;
}

}  // namespace

std::variant<MappedIndex, std::string> MappedIndex::Open(
    std::span<const uint8_t> section) {
  if constexpr (std::endian::native != std::endian::little) {
    return std::string("the search section is little-endian");
  }
  const size_t table_end = kHeaderSize + kArrayCount * kEntrySize;
  if (section.size() < table_end) return std::string("truncated header");
  const uint8_t* const base = section.data();
  if (reinterpret_cast<uintptr_t>(base) % 16 != 0) {
    return std::string("the section is not aligned in memory");
  }
  if (std::memcmp(base, kMagic.data(), kMagic.size()) != 0) {
    return std::string("not a search section");
  }
  if (Load<uint32_t>(base + 8) != kVersion) {
    return "unknown version " + std::to_string(Load<uint32_t>(base + 8));
  }
  if (Load<uint32_t>(base + 12) != kByteOrder) {
    return std::string("written with another byte order");
  }
  const uint32_t flags = Load<uint32_t>(base + 16);
  if (Load<uint32_t>(base + 20) != kArrayCount ||
      (flags & ~(kFlagInt32Ids | kFlagTwoWay)) != 0) {
    return std::string("unknown arrays or flags");
  }
  const uint64_t n = Load<uint64_t>(base + 24);
  const uint64_t slots = Load<uint64_t>(base + 32);
  const uint64_t reversed_n = Load<uint64_t>(base + 40);
  if (n == 0 || n > UINT32_MAX || reversed_n >= ReversedTerms::kShared) {
    return std::string("node counts out of range");
  }

  std::array<std::span<const uint8_t>, kArrayCount> arrays;
  std::array<uint64_t, kArrayCount> counts{};
  MappedIndex m;
  for (size_t k = 0; k < kArrayCount; ++k) {
    const uint8_t* e = base + kHeaderSize + k * kEntrySize;
    const uint64_t offset = Load<uint64_t>(e + 8);
    const uint64_t count = Load<uint64_t>(e + 16);
    const uint64_t size = kElementSize[k];
    if (Load<uint32_t>(e) != k || Load<uint32_t>(e + 4) != size ||
        offset % kAlignment != 0 || offset < table_end ||
        offset > section.size() || count > (section.size() - offset) / size) {
      return std::string("array ") + kArrayName[k] +
             " lies outside the section";
    }
    arrays[k] = section.subspan(offset, count * size);
    counts[k] = count;
    m.part_bytes_[k] = count * size;
  }
  auto count = [&](ArrayKind k) { return counts[static_cast<size_t>(k)]; };
  auto of = [&]<class T>(ArrayKind k, T*) {
    const std::span<const uint8_t> a = arrays[static_cast<size_t>(k)];
    return std::span<const T>(reinterpret_cast<const T*>(a.data()),
                              a.size() / sizeof(T));
  };
  using K = ArrayKind;
  const uint64_t blocks = (reversed_n + 63) / 64;
  const bool two_way = (flags & kFlagTwoWay) != 0;
  const bool int32 = (flags & kFlagInt32Ids) != 0;
  auto table_size = [](uint64_t c) { return c == 0 || std::has_single_bit(c); };
  const bool consistent =
      count(K::kRecords) == n &&
      (count(K::kRanks) == 0 || count(K::kRanks) == n) &&
      count(K::kReversedRecords) == (two_way ? reversed_n : 0) &&
      (two_way ? reversed_n > 0
               : count(K::kRanks) + count(K::kReversedTerms) +
                         count(K::kReversedShared) + count(K::kForwardPairs) +
                         count(K::kReversedPairs) ==
                     0) &&
      count(K::kReversedTerminals) == blocks &&
      count(K::kReversedBlockRanks) == blocks &&
      table_size(count(K::kForwardPairs)) &&
      table_size(count(K::kReversedPairs)) && count(K::kPayloadPresent) == n &&
      count(K::kPayloadTotals) == n && count(K::kPayloadOffsets) == n + 1 &&
      count(K::kVideoCounts) == count(K::kVideoIds) &&
      (int32 ? count(K::kUuidIds) : count(K::kInt32Ids)) == 0;
  if (!consistent) return std::string("array lengths do not fit together");

  m.records_ = of(K::kRecords, static_cast<SearchRecord*>(nullptr));
  // Every child s + 1 of a slot s below slot_count_ is a node.
  m.slot_count_ = static_cast<uint32_t>(std::min<uint64_t>(slots, n - 1));
  const size_t nodes = static_cast<size_t>(n);
  if (two_way) {
    ReversedTerms::Arrays r;
    r.records = of(K::kReversedRecords, static_cast<SearchRecord*>(nullptr));
    r.terms = of(K::kReversedTerms, static_cast<uint32_t*>(nullptr));
    r.shared = of(K::kReversedShared, static_cast<uint32_t*>(nullptr));
    r.terminal_bits =
        of(K::kReversedTerminals, static_cast<uint64_t*>(nullptr));
    r.block_ranks = of(K::kReversedBlockRanks, static_cast<uint32_t*>(nullptr));
    m.forward_backward_.ranks = of(K::kRanks, static_cast<uint32_t*>(nullptr));
    m.forward_backward_.reversed = ReversedTerms(r, nodes);
    m.forward_backward_.reversed.LimitExpansions();
    using Entry = LabelPairs::Entry;
    m.forward_backward_.forward_pairs =
        LabelPairs(of(K::kForwardPairs, static_cast<Entry*>(nullptr)), nodes);
    m.forward_backward_.reversed_pairs =
        LabelPairs(of(K::kReversedPairs, static_cast<Entry*>(nullptr)),
                   static_cast<size_t>(reversed_n));
  }
  m.present_ = arrays[static_cast<size_t>(K::kPayloadPresent)];
  m.totals_ = of(K::kPayloadTotals, static_cast<uint32_t*>(nullptr));
  m.offsets_ = of(K::kPayloadOffsets, static_cast<uint32_t*>(nullptr));
  m.video_ids_ = of(K::kVideoIds, static_cast<uint32_t*>(nullptr));
  m.video_counts_ = of(K::kVideoCounts, static_cast<uint32_t*>(nullptr));
  m.uuid_ids_ = of(K::kUuidIds, static_cast<Uuid*>(nullptr));
  m.int32_ids_ = of(K::kInt32Ids, static_cast<uint32_t*>(nullptr));
  m.id_mode_ = int32 ? IdMode::kInt32 : IdMode::kUuid;
  return m;
}

std::vector<RankedVideo> RankVideos(const MappedIndex& index,
                                    std::span<const uint32_t> query,
                                    const VideoQuery& options) {
  const size_t id_count = index.id_mode() == IdMode::kInt32
                              ? index.int32_ids().size()
                              : index.uuid_ids().size();
  return ranking::RankWith(index, index, id_count, query, options);
}

}  // namespace quillomar::mapped
