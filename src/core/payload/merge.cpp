#include "core/payload/merge.hpp"

#include <algorithm>
#include <chrono>

namespace quillomar {
namespace {

constexpr uint32_t kInitialBits = 6;

// A different multiplier input per process, so that no fixed set of video
// numbers collides in every run. Results never depend on it.
uint64_t ProcessSeed() {
  static const uint64_t seed = [] {
    uint64_t x = static_cast<uint64_t>(
        std::chrono::steady_clock::now().time_since_epoch().count());
    x ^= reinterpret_cast<uintptr_t>(&x);
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdull;
    x ^= x >> 33;
    return x;
  }();
  return seed;
}

struct ByRank {
  template <class E>
  bool operator()(const E& a, const E& b) const {
    return a.sum != b.sum ? a.sum > b.sum : a.id < b.id;
  }
};

// Saturating, so that the order stays that of the true sums: overflow needs
// more than 2^32 maximal counts for one id.
inline uint64_t AddSaturating(uint64_t a, uint64_t b) {
  return a + b < a ? UINT64_MAX : a + b;
}

}  // namespace

PayloadMerger::PayloadMerger()
    : slots_(size_t{1} << kInitialBits, Slot{0, 0, 0}),
      seed_(ProcessSeed()),
      shift_(64 - kInitialBits) {}

void PayloadMerger::Reset() {
  small_count_ = 0;
  if (small_) return;  // the table holds nothing of this combination
  small_ = true;
  entries_.clear();
  if (++stamp_ == 0) {
    // The stamp wrapped: old slots could look occupied again.
    std::fill(slots_.begin(), slots_.end(), Slot{0, 0, 0});
    stamp_ = 1;
  }
}

void PayloadMerger::Grow() {
  const size_t size = slots_.size() * 2;
  slots_.assign(size, Slot{0, 0, 0});
  stamp_ = 1;
  --shift_;
  const size_t mask = size - 1;
  for (uint32_t e = 0; e < entries_.size(); ++e) {
    size_t h = Home(entries_[e].id);
    while (slots_[h].stamp == stamp_) h = (h + 1) & mask;
    slots_[h] = Slot{stamp_, entries_[e].id, e};
  }
}

void PayloadMerger::Insert(uint32_t id, uint64_t count) {
  size_t mask = slots_.size() - 1;
  size_t h = Home(id);
  while (true) {
    Slot& slot = slots_[h];
    if (slot.stamp != stamp_) break;
    if (slot.key == id) {
      entries_[slot.entry].sum = AddSaturating(entries_[slot.entry].sum, count);
      return;
    }
    h = (h + 1) & mask;
  }
  // New id. Keep the table at most half full so probes stay short.
  if ((entries_.size() + 1) * 2 > slots_.size()) {
    Grow();
    mask = slots_.size() - 1;
    h = Home(id);
    while (slots_[h].stamp == stamp_) h = (h + 1) & mask;
  }
  slots_[h] = Slot{stamp_, id, static_cast<uint32_t>(entries_.size())};
  entries_.push_back(Entry{count, id});
}

void PayloadMerger::SwitchToHash() {
  small_ = false;
  entries_.clear();
  for (size_t i = 0; i < small_count_; ++i) {
    Insert(small_pairs_[i].id, small_pairs_[i].sum);
  }
  small_count_ = 0;
}

void PayloadMerger::Add(std::span<const uint32_t> ids,
                        std::span<const uint32_t> counts) {
  const size_t n = ids.size();
  const uint32_t* id_data = ids.data();
  const uint32_t* count_data = counts.data();
  if (small_) {
    if (small_count_ + n <= kSmall) {
      Entry* to = small_pairs_ + small_count_;
      for (size_t i = 0; i < n; ++i) to[i] = Entry{count_data[i], id_data[i]};
      small_count_ += n;
      return;
    }
    SwitchToHash();
  }
  for (size_t i = 0; i < n; ++i) Insert(id_data[i], count_data[i]);
}

size_t PayloadMerger::FinishSmall(uint32_t top_n,
                                  std::vector<uint32_t>& out_ids,
                                  std::vector<uint32_t>& out_counts) {
  // Combine equal ids by a scan over the distinct ones seen so far (the
  // lists are short), summing in 64 bits.
  Entry* e = small_pairs_;
  size_t distinct = 0;
  uint64_t max_sum = 0;
  for (size_t r = 0; r < small_count_; ++r) {
    size_t d = 0;
    while (d < distinct && e[d].id != e[r].id) ++d;
    if (d < distinct) {
      e[d].sum += e[r].sum;  // at most kSmall 32-bit counts: no overflow
    } else {
      e[distinct++] = e[r];
    }
    max_sum = std::max(max_sum, e[d].sum);
  }
  const size_t keep = std::min<size_t>(distinct, top_n);
  if (keep == 0) return 0;
  if (max_sum > UINT32_MAX) {
    std::sort(e, e + distinct, ByRank{});
  } else {
    // One integer key per entry whose ascending order is (sum descending,
    // id ascending); insertion sort suits lists this short.
    uint64_t keys[kSmall];
    for (size_t i = 0; i < distinct; ++i) {
      const uint64_t key =
          (uint64_t{~static_cast<uint32_t>(e[i].sum)} << 32) | e[i].id;
      size_t j = i;
      while (j > 0 && keys[j - 1] > key) {
        keys[j] = keys[j - 1];
        --j;
      }
      keys[j] = key;
    }
    for (size_t i = 0; i < keep; ++i) {
      e[i] = Entry{~static_cast<uint32_t>(keys[i] >> 32),
                   static_cast<uint32_t>(keys[i])};
    }
  }
  const size_t at = out_ids.size();
  out_ids.resize(at + keep);
  out_counts.resize(at + keep);
  uint32_t* ids = out_ids.data() + at;
  uint32_t* counts = out_counts.data() + at;
  for (size_t i = 0; i < keep; ++i) {
    ids[i] = e[i].id;
    counts[i] = SaturateU32(e[i].sum);
  }
  return keep;
}

size_t PayloadMerger::Finish(uint32_t top_n, std::vector<uint32_t>& out_ids,
                             std::vector<uint32_t>& out_counts) {
  if (small_) return FinishSmall(top_n, out_ids, out_counts);
  const size_t keep = std::min<size_t>(entries_.size(), top_n);
  if (keep == 0) return 0;
  const size_t at = out_ids.size();
  out_ids.resize(at + keep);
  out_counts.resize(at + keep);
  uint32_t* ids = out_ids.data() + at;
  uint32_t* counts = out_counts.data() + at;

  uint64_t max_sum = 0;
  for (const Entry& e : entries_) max_sum = std::max(max_sum, e.sum);
  if (max_sum <= UINT32_MAX) {
    // Every sum fits in 32 bits: rank by one integer key whose ascending
    // order is (sum descending, id ascending), which sorts much faster
    // than comparing pairs.
    keys_.resize(entries_.size());
    for (size_t i = 0; i < entries_.size(); ++i) {
      keys_[i] = (uint64_t{~static_cast<uint32_t>(entries_[i].sum)} << 32) |
                 entries_[i].id;
    }
    if (keep < keys_.size()) {
      std::nth_element(keys_.begin(), keys_.begin() + keep, keys_.end());
    }
    std::sort(keys_.begin(), keys_.begin() + keep);
    for (size_t i = 0; i < keep; ++i) {
      ids[i] = static_cast<uint32_t>(keys_[i]);
      counts[i] = ~static_cast<uint32_t>(keys_[i] >> 32);
    }
    return keep;
  }
  if (keep < entries_.size()) {
    std::nth_element(entries_.begin(), entries_.begin() + keep, entries_.end(),
                     ByRank{});
  }
  std::sort(entries_.begin(), entries_.begin() + keep, ByRank{});
  for (size_t i = 0; i < keep; ++i) {
    ids[i] = entries_[i].id;
    counts[i] = SaturateU32(entries_[i].sum);
  }
  return keep;
}

}  // namespace quillomar
