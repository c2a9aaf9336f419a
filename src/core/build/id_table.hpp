// The distinct videos of a build, numbered in order of first appearance:
// the number is the video's position in the index's identifier table.
// Identifiers are all 32-bit integers or all 16-byte UUIDs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/memory/interner.hpp"
#include "core/trie/trie.hpp"

namespace quillomar::build {

class IdTable {
 public:
  // The kind of the identifiers interned so far; none before the first.
  std::optional<IdMode> kind() const { return kind_; }
  size_t size() const { return ints_.size() + uuids_.size(); }
  const std::vector<uint32_t>& ints() const { return ints_.keys().all(); }
  const std::vector<Uuid>& uuids() const { return uuids_.keys().all(); }

  // REQUIRES: kind() is none or the kind of the key.
  uint32_t InternInt(uint32_t key) {
    kind_ = IdMode::kInt32;
    return ints_.Intern(key);
  }
  uint32_t InternUuid(const Uuid& key) {
    kind_ = IdMode::kUuid;
    return uuids_.Intern(key);
  }
  // Hints that an int id is about to be interned.
  void PrefetchInt(uint32_t key) const { ints_.Prefetch(ints_.Hash(key)); }

 private:
  std::optional<IdMode> kind_;
  memory::Interner<memory::FixedKeys<uint32_t>> ints_;
  memory::Interner<memory::FixedKeys<Uuid>> uuids_;
};

}  // namespace quillomar::build
