#include "core/terms/term_matching.hpp"

#include <algorithm>

#include "core/codec/utf8.hpp"

namespace quillomar::terms {
namespace {

// Kuhn's augmenting path from typed word i over the allowed edges; depth is
// at most kMaxTypedWords.
bool Augment(size_t i, const std::array<uint64_t, kMaxTypedWords>& allowed,
             uint64_t& visited, std::array<int8_t, kMaxTermWords>& owner,
             std::array<uint8_t, kMaxTypedWords>& to) {
  for (uint64_t rest = allowed[i] & ~visited; rest != 0; rest &= rest - 1) {
    const size_t k = static_cast<size_t>(__builtin_ctzll(rest));
    visited |= uint64_t{1} << k;
    if (owner[k] < 0 ||
        Augment(static_cast<size_t>(owner[k]), allowed, visited, owner, to)) {
      owner[k] = static_cast<int8_t>(i);
      to[i] = static_cast<uint8_t>(k);
      return true;
    }
  }
  return false;
}

}  // namespace

void TermMatcher::Split(std::string_view term) {
  code_points_.clear();
  starts_.clear();
  lengths_.clear();
  const auto* p = reinterpret_cast<const uint8_t*>(term.data());
  const uint8_t* end = p + term.size();
  bool in_word = false;
  while (p < end && starts_.size() <= kMaxTermWords) {
    const uint32_t c = codec::NextCodePointLossy(p, end);
    if (c == ' ') {
      in_word = false;
    } else {
      if (!in_word) {
        starts_.push_back(static_cast<uint32_t>(code_points_.size()));
        lengths_.push_back(0);
        in_word = true;
      }
      ++lengths_.back();
    }
    code_points_.push_back(c);
  }
  if (starts_.size() > kMaxTermWords) {
    starts_.pop_back();
    lengths_.pop_back();
  }
}

bool TermMatcher::Arrange(uint32_t max_distance, How& how,
                          std::array<uint8_t, kMaxTypedWords>& to) {
  const size_t n = typed_.size();
  const size_t m = starts_.size();
  auto fits = [&](size_t i, size_t k) {
    return distance_[i * kMaxTermWords + k].distance <=
           std::min(max_distance, typed_[i].budget);
  };
  for (size_t shift = 0; shift + n <= m; ++shift) {
    bool all = true;
    for (size_t i = 0; i < n && all; ++i) all = fits(i, shift + i);
    if (all) {
      how = shift == 0 ? How::kStart : How::kWord;
      for (size_t i = 0; i < n; ++i) to[i] = static_cast<uint8_t>(shift + i);
      return true;
    }
  }
  std::array<uint64_t, kMaxTypedWords> allowed{};
  for (size_t i = 0; i < n; ++i) {
    for (size_t k = 0; k < m; ++k) {
      if (fits(i, k)) allowed[i] |= uint64_t{1} << k;
    }
    if (allowed[i] == 0) return false;
  }
  std::array<int8_t, kMaxTermWords> owner;
  owner.fill(-1);
  for (size_t i = 0; i < n; ++i) {
    uint64_t visited = 0;
    if (!Augment(i, allowed, visited, owner, to)) return false;
  }
  how = How::kOrder;
  return true;
}

bool TermMatcher::Match(std::string_view term, struct Match& out) {
  const size_t n = typed_.size();
  Split(term);
  const size_t m = starts_.size();
  if (n > m) return false;
  bool any_exact = true;
  for (size_t i = 0; i < n; ++i) {
    bool reaches = false;
    bool exact = false;
    for (size_t k = 0; k < m; ++k) {
      const std::span<const uint32_t> word(code_points_.data() + starts_[k],
                                           lengths_[k]);
      const WordDistance d =
          BoxDistance(typed_[i].text, word, typed_[i].prefix, typed_[i].budget);
      distance_[i * kMaxTermWords + k] = d;
      reaches = reaches || d.distance <= typed_[i].budget;
      exact = exact || d.distance == 0;
    }
    if (!reaches) return false;
    any_exact = any_exact && exact;
  }
  std::array<uint8_t, kMaxTypedWords> to{};
  How how;
  bool corrected = false;
  if (!(any_exact && Arrange(0, how, to))) {
    if (!Arrange(UINT32_MAX, how, to)) return false;
    corrected = true;
  }
  out.how = how;
  out.corrected = corrected;
  out.range_count = static_cast<uint32_t>(n);
  for (size_t i = 0; i < n; ++i) {
    const uint32_t k = to[i];
    const uint32_t begin = starts_[k];
    out.ranges[i] = {begin, begin + distance_[i * kMaxTermWords + k].length};
  }
  std::sort(out.ranges.begin(), out.ranges.begin() + n,
            [](const Range& a, const Range& b) { return a.begin < b.begin; });
  return true;
}

}  // namespace quillomar::terms
