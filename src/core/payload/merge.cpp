#include "core/payload/merge.hpp"

#include <algorithm>

#include "core/memory/hashing.hpp"

namespace quillomar {
namespace {

struct ByRank {
  template <class E>
  bool operator()(const E& a, const E& b) const {
    return a.sum != b.sum ? a.sum > b.sum : a.id < b.id;
  }
};

// One integer key per entry whose ascending order is (sum descending, id
// ascending): ranking by it sorts much faster than comparing pairs.
// REQUIRES: sum <= UINT32_MAX.
inline uint64_t RankKey(uint64_t sum, uint32_t id) {
  return (uint64_t{~static_cast<uint32_t>(sum)} << 32) | id;
}
inline uint32_t RankKeyId(uint64_t key) { return static_cast<uint32_t>(key); }
inline uint32_t RankKeySum(uint64_t key) {
  return ~static_cast<uint32_t>(key >> 32);
}

// Saturating, so that the order stays that of the true sums: overflow needs
// more than 2^32 maximal counts for one id.
inline uint64_t AddSaturating(uint64_t a, uint64_t b) {
  return a + b < a ? UINT64_MAX : a + b;
}

}  // namespace

PayloadMerger::PayloadMerger() : index_(kSmall, memory::NewSeed()) {}

void PayloadMerger::Reset() {
  small_count_ = 0;
  if (small_) return;  // the map holds nothing of this combination
  small_ = true;
  entries_.clear();
  index_.Clear();
}

void PayloadMerger::Insert(uint32_t id, uint64_t count) {
  bool inserted;
  uint32_t& entry = index_.FindOrInsert(id, inserted);
  if (inserted) {
    entry = static_cast<uint32_t>(entries_.size());
    entries_.push_back(Entry{count, id});
  } else {
    entries_[entry].sum = AddSaturating(entries_[entry].sum, count);
  }
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

size_t PayloadMerger::Emit(Entry* entries, size_t n, uint64_t max_sum,
                           uint32_t top_n, std::vector<uint32_t>& out_ids,
                           std::vector<uint32_t>& out_counts) {
  const size_t keep = std::min<size_t>(n, top_n);
  if (keep == 0) return 0;
  const size_t at = out_ids.size();
  out_ids.resize(at + keep);
  out_counts.resize(at + keep);
  uint32_t* ids = out_ids.data() + at;
  uint32_t* counts = out_counts.data() + at;
  if (max_sum > UINT32_MAX) {
    if (keep < n) {
      std::nth_element(entries, entries + keep, entries + n, ByRank{});
    }
    std::sort(entries, entries + keep, ByRank{});
    for (size_t i = 0; i < keep; ++i) {
      ids[i] = entries[i].id;
      counts[i] = SaturateU32(entries[i].sum);
    }
    return keep;
  }
  uint64_t small_keys[kSmall];
  uint64_t* keys = small_keys;
  if (n > kSmall) {
    keys_.resize(n);
    keys = keys_.data();
  }
  if (n <= kSmall) {
    // Insertion sort suits lists this short.
    for (size_t i = 0; i < n; ++i) {
      const uint64_t key = RankKey(entries[i].sum, entries[i].id);
      size_t j = i;
      while (j > 0 && keys[j - 1] > key) {
        keys[j] = keys[j - 1];
        --j;
      }
      keys[j] = key;
    }
  } else {
    for (size_t i = 0; i < n; ++i) {
      keys[i] = RankKey(entries[i].sum, entries[i].id);
    }
    if (keep < n) std::nth_element(keys, keys + keep, keys + n);
    std::sort(keys, keys + keep);
  }
  for (size_t i = 0; i < keep; ++i) {
    ids[i] = RankKeyId(keys[i]);
    counts[i] = RankKeySum(keys[i]);
  }
  return keep;
}

size_t PayloadMerger::Finish(uint32_t top_n, std::vector<uint32_t>& out_ids,
                             std::vector<uint32_t>& out_counts) {
  uint64_t max_sum = 0;
  if (!small_) {
    for (const Entry& e : entries_) max_sum = std::max(max_sum, e.sum);
    return Emit(entries_.data(), entries_.size(), max_sum, top_n, out_ids,
                out_counts);
  }
  // Combine equal ids by a scan over the distinct ones seen so far (the
  // lists are short), summing in 64 bits.
  Entry* e = small_pairs_;
  size_t distinct = 0;
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
  return Emit(e, distinct, max_sum, top_n, out_ids, out_counts);
}

}  // namespace quillomar
