// The trie of the index's terms spelt backwards, in the breadth-first
// layout (IsBreadthFirst), with search records: a search can read a query from
// its end and still walk a trie, and each term end found there leads back to
// the index's node of that term.
//
// Only terms a search can reach are in it (none whose path shows a label
// 0). Two index nodes can spell the same term (equal sibling labels); the
// reversed trie then has one node for both.
#pragma once

#include <bit>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "core/bit_count.hpp"
#include "core/index/search_records.hpp"
#include "core/trie/trie.hpp"

namespace quillomar {

class ReversedTerms {
 public:
  // terms[i]: the index node of the term that ends at the i-th terminal
  // reversed node, or kShared | j when several do: shared[j] is their count
  // and shared[j + 1 ..] the nodes.
  static constexpr uint32_t kShared = uint32_t{1} << 31;

  ReversedTerms() = default;
  ReversedTerms(std::vector<SearchRecord> records, std::vector<uint32_t> terms,
                std::vector<uint32_t> shared)
      : records_(std::move(records)),
        terms_(std::move(terms)),
        shared_(std::move(shared)) {
    // Terminal nodes before each block of 64, for the rank of a terminal.
    const size_t blocks = (records_.size() + 63) / 64;
    terminal_bits_.assign(blocks, 0);
    for (size_t v = 0; v < records_.size(); ++v) {
      if (records_[v].terminal())
        terminal_bits_[v / 64] |= uint64_t{1} << (v % 64);
    }
    block_ranks_.resize(blocks);
    uint32_t count = 0;
    for (size_t b = 0; b < blocks; ++b) {
      block_ranks_[b] = count;
      count += static_cast<uint32_t>(BitCount(terminal_bits_[b]));
    }
  }

  bool empty() const { return records_.empty(); }
  size_t node_count() const { return records_.size(); }

  RecordTrie graph() const {
    return {records_.data(), records_.size(),
            static_cast<uint32_t>(records_.empty() ? 0 : records_.size() - 1)};
  }

  // Calls f(index node) for each index node whose term ends at reversed
  // node v. REQUIRES: v is terminal.
  template <class F>
  void ForEachTerm(uint32_t v, F&& f) const {
    const uint64_t below = (uint64_t{1} << (v % 64)) - 1;
    const uint32_t rank =
        block_ranks_[v / 64] +
        static_cast<uint32_t>(BitCount(terminal_bits_[v / 64] & below));
    const uint32_t t = terms_[rank];
    if ((t & kShared) == 0) {
      f(t);
      return;
    }
    const uint32_t at = t & ~kShared;
    for (uint32_t i = 0; i < shared_[at]; ++i) f(shared_[at + 1 + i]);
  }

  size_t memory_bytes() const {
    return records_.capacity() * sizeof(SearchRecord) +
           (terms_.capacity() + shared_.capacity() + block_ranks_.capacity()) *
               sizeof(uint32_t) +
           terminal_bits_.capacity() * sizeof(uint64_t);
  }

 private:
  std::vector<SearchRecord> records_;
  std::vector<uint32_t> terms_;
  std::vector<uint32_t> shared_;
  std::vector<uint64_t> terminal_bits_;
  std::vector<uint32_t> block_ranks_;
};

// The reversed trie of t's reachable terms; empty when t has none, or when
// t has more nodes than a reversed node can name.
// REQUIRES: `records` is DeriveSearchRecords(t) and not empty, `ranks`
// DerivePreorderRanks(t, records) and not empty.
ReversedTerms DeriveReversedTerms(const Trie& t,
                                  std::span<const SearchRecord> records,
                                  std::span<const uint32_t> ranks);

}  // namespace quillomar
