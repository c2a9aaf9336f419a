#include "core/build/pair_table.hpp"

#include "core/build/hashing.hpp"

namespace quillomar::build {

PairTable::PairTable() : slots_(1024, Slot{kEmpty, 0, 0}), seed_(NewSeed()) {
  mask_ = slots_.size() - 1;
}

size_t PairTable::Home(uint32_t term, uint32_t video) const {
  return static_cast<size_t>(Mix64((uint64_t{term} << 32 | video) ^ seed_)) &
         mask_;
}

void PairTable::Add(uint32_t term, uint32_t video, uint32_t count) {
  size_t i = Home(term, video);
  while (true) {
    Slot& s = slots_[i];
    if (s.term == term && s.video == video) {
      const uint64_t sum = uint64_t{s.sum} + count;
      s.sum = sum > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(sum);
      return;
    }
    if (s.term == kEmpty) {
      s = Slot{term, video, count};
      // At most 70% full keeps linear probes short.
      if (++size_ * 10 > slots_.size() * 7) Grow();
      return;
    }
    i = (i + 1) & mask_;
  }
}

void PairTable::Grow() {
  std::vector<Slot> old(slots_.size() * 2, Slot{kEmpty, 0, 0});
  old.swap(slots_);
  mask_ = slots_.size() - 1;
  for (const Slot& s : old) {
    if (s.term == kEmpty) continue;
    size_t i = Home(s.term, s.video);
    while (slots_[i].term != kEmpty) i = (i + 1) & mask_;
    slots_[i] = s;
  }
}

void PairTable::Clear() {
  std::vector<Slot>(1024, Slot{kEmpty, 0, 0}).swap(slots_);
  mask_ = slots_.size() - 1;
  size_ = 0;
}

}  // namespace quillomar::build
