// Per-(term, video) sums of a build: one open-addressing table of
// (term number, video number, count) slots. Sums saturate at 4294967295:
// the index stores each pair's count saturated, and a term's default total
// (the saturated sum of its pairs' exact sums) equals the saturated sum of
// the pairs' saturated sums.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quillomar::build {

class PairTable {
 public:
  struct Slot {
    uint32_t term;  // kEmpty: unused
    uint32_t video;
    uint32_t sum;
  };
  static constexpr uint32_t kEmpty = UINT32_MAX;

  PairTable();

  size_t size() const { return size_; }
  // Adds `count` to the pair's sum (a new pair starts at 0).
  void Add(uint32_t term, uint32_t video, uint32_t count);
  // Hints that the pair is about to be added.
  void Prefetch(uint32_t term, uint32_t video) const {
    __builtin_prefetch(&slots_[Home(term, video)]);
  }
  // Every slot, used or not (test `term != kEmpty`).
  const std::vector<Slot>& slots() const { return slots_; }
  void Clear();

 private:
  size_t Home(uint32_t term, uint32_t video) const;
  void Grow();

  std::vector<Slot> slots_;
  size_t size_ = 0;
  uint64_t seed_;
  size_t mask_;
};

}  // namespace quillomar::build
