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
  entries_.clear();
  if (small_) return;  // the table holds nothing of this combination
  small_ = true;
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
  raw_.swap(entries_);
  entries_.clear();
  for (const Entry& e : raw_) Insert(e.id, e.sum);
  raw_.clear();
}

void PayloadMerger::Add(std::span<const uint32_t> ids,
                        std::span<const uint32_t> counts) {
  const size_t n = ids.size();
  const uint32_t* id_data = ids.data();
  const uint32_t* count_data = counts.data();
  if (small_) {
    if (entries_.size() + n <= kSmall) {
      for (size_t i = 0; i < n; ++i) {
        entries_.push_back(Entry{count_data[i], id_data[i]});
      }
      return;
    }
    SwitchToHash();
  }
  for (size_t i = 0; i < n; ++i) Insert(id_data[i], count_data[i]);
}

void PayloadMerger::CombineSmall() {
  const size_t n = entries_.size();
  size_t distinct = 1;
  if (n <= 8) {
    // A scan over the few distinct ids seen so far.
    for (size_t r = 1; r < n; ++r) {
      const Entry e = entries_[r];
      size_t d = 0;
      while (d < distinct && entries_[d].id != e.id) ++d;
      if (d < distinct) {
        entries_[d].sum = AddSaturating(entries_[d].sum, e.sum);
      } else {
        entries_[distinct++] = e;
      }
    }
  } else {
    // Sort by id (raw counts are 32-bit, so one packed key per pair), then
    // sum runs of equal ids.
    keys_.resize(n);
    for (size_t i = 0; i < n; ++i) {
      keys_[i] = (uint64_t{entries_[i].id} << 32) | entries_[i].sum;
    }
    std::sort(keys_.begin(), keys_.end());
    entries_[0] =
        Entry{keys_[0] & UINT32_MAX, static_cast<uint32_t>(keys_[0] >> 32)};
    for (size_t r = 1; r < n; ++r) {
      const uint32_t id = static_cast<uint32_t>(keys_[r] >> 32);
      const uint64_t count = keys_[r] & UINT32_MAX;
      if (id == entries_[distinct - 1].id) {
        entries_[distinct - 1].sum += count;  // at most kSmall 32-bit counts
      } else {
        entries_[distinct++] = Entry{count, id};
      }
    }
  }
  entries_.resize(distinct);
}

size_t PayloadMerger::Finish(uint32_t top_n, std::vector<uint32_t>& out_ids,
                             std::vector<uint32_t>& out_counts) {
  if (small_ && entries_.size() > 1) CombineSmall();
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
