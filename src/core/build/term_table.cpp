#include "core/build/term_table.hpp"

#include <cstring>

#include "core/build/hashing.hpp"
#include "core/panic.hpp"

namespace quillomar::build {

TermTable::TermTable() : starts_{0}, slots_(1024, 0), seed_(NewSeed()) {
  mask_ = slots_.size() - 1;
}

size_t TermTable::Probe(std::string_view t, uint64_t hash) const {
  size_t i = static_cast<size_t>(hash) & mask_;
  while (true) {
    const uint32_t s = slots_[i];
    if (s == 0) return i;
    const uint32_t number = s - 1;
    if (hashes_[number] == hash && term(number) == t) return i;
    i = (i + 1) & mask_;
  }
}

uint64_t TermTable::Hash(std::string_view t) const {
  return HashBytes(t.data(), t.size(), seed_);
}

uint32_t TermTable::Find(std::string_view t) const {
  const uint32_t s = slots_[Probe(t, Hash(t))];
  return s == 0 ? kMissing : s - 1;
}

uint32_t TermTable::Intern(std::string_view t, uint64_t hash) {
  size_t i = Probe(t, hash);
  if (slots_[i] != 0) return slots_[i] - 1;
  if (size() >= UINT32_MAX - 1) PanicCapacityOverflow();
  const uint32_t number = static_cast<uint32_t>(size());
  bytes_.insert(bytes_.end(), t.begin(), t.end());
  starts_.push_back(bytes_.size());
  hashes_.push_back(hash);
  slots_[i] = number + 1;
  if (2 * size() > slots_.size()) Grow();
  return number;
}

void TermTable::Grow() {
  std::vector<uint32_t> bigger(slots_.size() * 2, 0);
  const size_t mask = bigger.size() - 1;
  for (uint32_t number = 0; number < size(); ++number) {
    size_t i = static_cast<size_t>(hashes_[number]) & mask;
    while (bigger[i] != 0) i = (i + 1) & mask;
    bigger[i] = number + 1;
  }
  slots_.swap(bigger);
  mask_ = mask;
}

void TermTable::Clear() {
  std::vector<char>().swap(bytes_);
  std::vector<uint64_t>{0}.swap(starts_);
  std::vector<uint64_t>().swap(hashes_);
  std::vector<uint32_t>(1024, 0).swap(slots_);
  mask_ = slots_.size() - 1;
}

}  // namespace quillomar::build
