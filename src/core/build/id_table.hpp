// The distinct videos of a build, numbered in order of first appearance:
// the number is the video's position in the index's identifier table.
// Identifiers are all 32-bit integers or all 16-byte UUIDs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/trie/trie.hpp"

namespace quillomar::build {

enum class IdKind : uint8_t { kNone, kInt, kUuid };

class IdTable {
 public:
  IdTable();

  IdKind kind() const { return kind_; }
  size_t size() const {
    return kind_ == IdKind::kUuid ? uuids_.size() : ints_.size();
  }
  const std::vector<uint32_t>& ints() const { return ints_; }
  const std::vector<Uuid>& uuids() const { return uuids_; }

  // REQUIRES: kind() is kNone or the kind of the key.
  uint32_t InternInt(uint32_t key);
  uint32_t InternUuid(const Uuid& key);
  // Hints that an int id is about to be interned.
  void PrefetchInt(uint32_t key) const {
    __builtin_prefetch(&slots_[static_cast<size_t>(IntHash(key)) & mask_]);
  }

 private:
  template <class Key, class Equal>
  uint32_t Intern(uint64_t hash, Equal equal, const Key& key,
                  std::vector<Key>& keys);
  void Grow();
  uint64_t HashOf(uint32_t number) const;
  uint64_t IntHash(uint32_t key) const;

  IdKind kind_ = IdKind::kNone;
  std::vector<uint32_t> ints_;
  std::vector<Uuid> uuids_;
  std::vector<uint32_t> slots_;  // 0 = empty, else number + 1
  uint64_t seed_;
  size_t mask_;
};

}  // namespace quillomar::build
