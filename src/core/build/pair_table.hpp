// Per-(term, video) sums of a build: (term number, video number, sum)
// slots in the core's open-addressing table. Sums saturate at 4294967295:
// the index stores each pair's count saturated, and a term's default total
// (the saturated sum of its pairs' exact sums) equals the saturated sum of
// the pairs' saturated sums.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/memory/hashing.hpp"
#include "core/memory/open_table.hpp"

namespace quillomar::build {

class PairTable {
 public:
  struct Slot {
    static bool Used(const Slot& s, uint32_t) { return s.term != kEmpty; }
    uint32_t term = kEmpty;
    uint32_t video = 0;
    uint32_t sum = 0;
  };
  static constexpr uint32_t kEmpty = UINT32_MAX;

  size_t size() const { return table_.size(); }

  // Adds `count` to the pair's sum (a new pair starts at 0).
  void Add(uint32_t term, uint32_t video, uint32_t count) {
    const size_t i = table_.Probe(Hash(term, video), [=](const Slot& s) {
      return s.term == term && s.video == video;
    });
    Slot& s = table_.at(i);
    if (!table_.Used(s)) {
      table_.Fill(i, Slot{term, video, count},
                  [this](const Slot& x) { return Hash(x.term, x.video); });
      return;
    }
    const uint64_t sum = uint64_t{s.sum} + count;
    s.sum = sum > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(sum);
  }
  // Hints that the pair is about to be added.
  void Prefetch(uint32_t term, uint32_t video) const {
    table_.Prefetch(Hash(term, video));
  }
  // Every slot, used or not (test `term != kEmpty`).
  std::span<const Slot> slots() const { return table_.slots(); }

 private:
  uint64_t Hash(uint32_t term, uint32_t video) const {
    return memory::Mix64((uint64_t{term} << 32 | video) ^ seed_);
  }

  // At most 70% full: the table is the largest of a build, and linear
  // probes stay short at that load.
  memory::OpenTable<Slot, 70> table_{1024 * 7 / 10};
  uint64_t seed_ = memory::NewSeed();
};

}  // namespace quillomar::build
