#include "core/ranking/score_table.hpp"

#include <bit>
#include <utility>

namespace quillomar {
namespace {
constexpr size_t kMinSlots = 32;
}  // namespace

ScoreTable::ScoreTable(size_t expected) {
  size_t slots = kMinSlots;
  while (slots < 2 * expected && slots < (size_t{1} << 40)) slots *= 2;
  slots_.assign(slots, Slot{0.0, 0, 0});
  mask_ = slots - 1;
  shift_ = 64 - static_cast<unsigned>(std::countr_zero(slots));
}

void ScoreTable::Grow() {
  std::vector<Slot> old = std::move(slots_);
  const size_t slots = old.size() * 2;
  slots_.assign(slots, Slot{0.0, 0, 0});
  mask_ = slots - 1;
  shift_ = 64 - static_cast<unsigned>(std::countr_zero(slots));
  for (const Slot& s : old) {
    if (!s.used) continue;
    size_t i = Home(s.video);
    while (slots_[i].used) i = (i + 1) & mask_;
    slots_[i] = s;
  }
}

}  // namespace quillomar
