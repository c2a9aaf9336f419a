// The distinct terms of a build: their bytes one after the other in one
// arena, numbered in order of first appearance, found again through an
// open-addressing hash table. No allocation per term beyond the arena's
// amortised growth.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace quillomar::build {

class TermTable {
 public:
  TermTable();

  size_t size() const { return hashes_.size(); }
  std::string_view term(uint32_t number) const {
    return {bytes_.data() + starts_[number],
            static_cast<size_t>(starts_[number + 1] - starts_[number])};
  }
  size_t arena_bytes() const { return bytes_.size(); }

  // The number of `term`, adding it when new.
  uint32_t Intern(std::string_view term) { return Intern(term, Hash(term)); }
  // The same, with the term's Hash() computed beforehand.
  uint32_t Intern(std::string_view term, uint64_t hash);
  uint64_t Hash(std::string_view term) const;
  // Hints that `hash` is about to be looked up (batches hash every row
  // first, then fetch ahead of the lookups).
  void Prefetch(uint64_t hash) const {
    __builtin_prefetch(&slots_[static_cast<size_t>(hash) & mask_]);
  }
  // The number of `term`, or kMissing.
  uint32_t Find(std::string_view term) const;

  static constexpr uint32_t kMissing = UINT32_MAX;

  // Returns all memory.
  void Clear();

 private:
  size_t Probe(std::string_view term, uint64_t hash) const;
  void Grow();

  std::vector<char> bytes_;
  std::vector<uint64_t> starts_;  // size() + 1 entries
  std::vector<uint64_t> hashes_;  // per term, for regrowing
  std::vector<uint32_t> slots_;   // 0 = empty, else number + 1
  uint64_t seed_;
  size_t mask_;
};

}  // namespace quillomar::build
