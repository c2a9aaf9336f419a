// Per-call accumulator from video number to video mass: a flat
// open-addressing table with linear probing, grown by doubling at half load.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quillomar {

class ScoreTable {
 public:
  // `expected`: a hint for the number of distinct videos.
  explicit ScoreTable(size_t expected = 0);

  // The mass of `video`, created as 0.0 when first met.
  double& operator[](uint32_t video) {
    size_t i = Home(video);
    while (slots_[i].used) {
      if (slots_[i].video == video) return slots_[i].mass;
      i = (i + 1) & mask_;
    }
    if (2 * (size_ + 1) > slots_.size()) {
      Grow();
      return (*this)[video];
    }
    ++size_;
    slots_[i] = {0.0, video, 1};
    return slots_[i].mass;
  }

  size_t size() const { return size_; }

  // Calls f(video, mass) for every entry, in no particular order.
  template <class F>
  void ForEach(F&& f) const {
    for (const Slot& s : slots_) {
      if (s.used) f(s.video, s.mass);
    }
  }

 private:
  struct Slot {
    double mass;
    uint32_t video;
    uint32_t used;
  };

  size_t Home(uint32_t video) const {
    return static_cast<size_t>((uint64_t{video} * 0x9E3779B97F4A7C15ull) >>
                               shift_);
  }
  void Grow();

  std::vector<Slot> slots_;
  size_t mask_ = 0;
  unsigned shift_ = 0;
  size_t size_ = 0;
};

}  // namespace quillomar
