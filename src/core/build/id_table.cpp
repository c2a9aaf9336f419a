#include "core/build/id_table.hpp"

#include "core/build/hashing.hpp"
#include "core/panic.hpp"

namespace quillomar::build {

IdTable::IdTable() : slots_(1024, 0), seed_(NewSeed()) {
  mask_ = slots_.size() - 1;
}

uint64_t IdTable::IntHash(uint32_t key) const { return Mix64(key ^ seed_); }

uint64_t IdTable::HashOf(uint32_t number) const {
  if (kind_ == IdKind::kInt) return IntHash(ints_[number]);
  return HashBytes(uuids_[number].data(), 16, seed_);
}

template <class Key, class Equal>
uint32_t IdTable::Intern(uint64_t hash, Equal equal, const Key& key,
                         std::vector<Key>& keys) {
  size_t i = static_cast<size_t>(hash) & mask_;
  while (slots_[i] != 0) {
    if (equal(keys[slots_[i] - 1])) return slots_[i] - 1;
    i = (i + 1) & mask_;
  }
  if (keys.size() >= UINT32_MAX - 1) PanicCapacityOverflow();
  const uint32_t number = static_cast<uint32_t>(keys.size());
  keys.push_back(key);
  slots_[i] = number + 1;
  if (2 * keys.size() > slots_.size()) Grow();
  return number;
}

uint32_t IdTable::InternInt(uint32_t key) {
  kind_ = IdKind::kInt;
  return Intern(
      IntHash(key), [key](uint32_t k) { return k == key; }, key, ints_);
}

uint32_t IdTable::InternUuid(const Uuid& key) {
  kind_ = IdKind::kUuid;
  return Intern(
      HashBytes(key.data(), 16, seed_),
      [&key](const Uuid& k) { return k == key; }, key, uuids_);
}

void IdTable::Grow() {
  std::vector<uint32_t> bigger(slots_.size() * 2, 0);
  const size_t mask = bigger.size() - 1;
  const size_t n = size();
  for (uint32_t number = 0; number < n; ++number) {
    size_t i = static_cast<size_t>(HashOf(number)) & mask;
    while (bigger[i] != 0) i = (i + 1) & mask;
    bigger[i] = number + 1;
  }
  slots_.swap(bigger);
  mask_ = mask;
}

}  // namespace quillomar::build
