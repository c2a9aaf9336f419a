// Numbering of distinct keys in order of first appearance (0, 1, 2, ...):
// the keys live once, in a key store, and the core's open-addressing table
// holds only their numbers. No allocation per key beyond the store's
// amortised growth.
//
// A key store provides Key, size(), at(number), Push(key, hash),
// Hash(key, seed), HashOf(number, seed) (for regrowing) and
// Matches(number, key, hash).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>
#include <vector>

#include "core/memory/hashing.hpp"
#include "core/memory/open_table.hpp"
#include "core/panic.hpp"

namespace quillomar::memory {

// Fixed-size keys (integers, UUIDs) one after the other.
template <class K>
class FixedKeys {
 public:
  using Key = K;

  size_t size() const { return keys_.size(); }
  const K& at(uint32_t number) const { return keys_[number]; }
  const std::vector<K>& all() const { return keys_; }

  void Push(const K& key, uint64_t /*hash*/) { keys_.push_back(key); }
  static uint64_t Hash(const K& key, uint64_t seed) {
    if constexpr (sizeof(K) <= 8 && std::is_integral_v<K>) {
      return Mix64(uint64_t{key} ^ seed);
    } else {
      return HashBytes(&key, sizeof(K), seed);
    }
  }
  uint64_t HashOf(uint32_t number, uint64_t seed) const {
    return Hash(keys_[number], seed);
  }
  bool Matches(uint32_t number, const K& key, uint64_t /*hash*/) const {
    return keys_[number] == key;
  }

 private:
  std::vector<K> keys_;
};

// Byte strings in one arena, each with its hash (compared before the bytes
// and reused when the table grows).
class StringKeys {
 public:
  using Key = std::string_view;

  size_t size() const { return hashes_.size(); }
  std::string_view at(uint32_t number) const {
    return {bytes_.data() + starts_[number],
            static_cast<size_t>(starts_[number + 1] - starts_[number])};
  }

  void Push(std::string_view key, uint64_t hash) {
    bytes_.insert(bytes_.end(), key.begin(), key.end());
    starts_.push_back(bytes_.size());
    hashes_.push_back(hash);
  }
  static uint64_t Hash(std::string_view key, uint64_t seed) {
    return HashBytes(key.data(), key.size(), seed);
  }
  uint64_t HashOf(uint32_t number, uint64_t /*seed*/) const {
    return hashes_[number];
  }
  bool Matches(uint32_t number, std::string_view key, uint64_t hash) const {
    return hashes_[number] == hash && at(number) == key;
  }

 private:
  std::vector<char> bytes_;
  std::vector<uint64_t> starts_{0};  // size() + 1 entries
  std::vector<uint64_t> hashes_;
};

template <class Keys>
class Interner {
 public:
  using Key = typename Keys::Key;
  static constexpr uint32_t kMissing = UINT32_MAX;

  Interner() : table_(kExpected), seed_(NewSeed()) {}

  size_t size() const { return keys_.size(); }
  const Keys& keys() const { return keys_; }
  decltype(auto) at(uint32_t number) const { return keys_.at(number); }

  uint64_t Hash(const Key& key) const { return Keys::Hash(key, seed_); }
  // Hints that a key of this Hash() is about to be looked up (batches hash
  // every row first, then fetch ahead of the lookups).
  void Prefetch(uint64_t hash) const { table_.Prefetch(hash); }

  // The number of `key`, adding it when new.
  uint32_t Intern(const Key& key) { return Intern(key, Hash(key)); }
  // The same, with the key's Hash() computed beforehand.
  uint32_t Intern(const Key& key, uint64_t hash) {
    const size_t i = Probe(key, hash);
    if (table_.Used(table_.at(i))) return table_.at(i).number();
    if (size() >= UINT32_MAX - 1) PanicCapacityOverflow();
    const uint32_t number = static_cast<uint32_t>(size());
    keys_.Push(key, hash);
    table_.Fill(i, Slot{number + 1}, [this](const Slot& s) {
      return keys_.HashOf(s.number(), seed_);
    });
    return number;
  }

  // The number of `key`, or kMissing.
  uint32_t Find(const Key& key) const {
    const Slot& s = table_.at(Probe(key, Hash(key)));
    return table_.Used(s) ? s.number() : kMissing;
  }

 private:
  static constexpr size_t kExpected = 512;

  struct Slot {
    static bool Used(const Slot& s, uint32_t) { return s.number_plus_one != 0; }
    uint32_t number() const { return number_plus_one - 1; }
    uint32_t number_plus_one = 0;
  };

  size_t Probe(const Key& key, uint64_t hash) const {
    return table_.Probe(hash, [&](const Slot& s) {
      return keys_.Matches(s.number(), key, hash);
    });
  }

  Keys keys_;
  OpenTable<Slot> table_;
  uint64_t seed_;
};

}  // namespace quillomar::memory
