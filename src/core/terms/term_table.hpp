// The table of an index's search terms, stored beside the index so that a
// term number found in the term trie leads back to the term's text and how
// often it was searched. Little-endian, every array aligned to its width:
//
//   u32 term count n, u32 zero
//   u64 text offsets[n + 1]   (term i is bytes[offsets[i], offsets[i + 1]))
//   u32 counts[n]
//   zero bytes up to a multiple of 8
//   the texts' UTF-8 bytes, one after the other
//
// Terms are numbered in the byte order of their texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quillomar::terms {

// Encodes terms[i] with counts[i]. REQUIRES: equal lengths, under 2^32.
std::vector<uint8_t> EncodeTermTable(std::span<const std::string_view> terms,
                                     std::span<const uint32_t> counts);

// A checked view of an encoded table; the bytes must outlive it.
class TermTableView {
 public:
  // Nullopt unless `bytes` is a whole table: sizes that add up, offsets
  // that never decrease and end at the text bytes' end.
  static std::optional<TermTableView> Open(std::span<const uint8_t> bytes);

  size_t size() const { return count_; }
  std::string_view text(uint32_t term) const;
  uint32_t count(uint32_t term) const;

 private:
  const uint8_t* offsets_ = nullptr;
  const uint8_t* counts_ = nullptr;
  const char* texts_ = nullptr;
  size_t count_ = 0;
};

}  // namespace quillomar::terms
