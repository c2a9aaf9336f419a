// The trie of the index's terms spelt backwards, in the breadth-first
// layout (IsBreadthFirst), with search records: a search can read a query from
// its end and still walk a trie, and each term end found there leads back to
// the index's node of that term.
//
// Only terms a search can reach are in it (none whose path shows a label
// 0). Two index nodes can spell the same term (equal sibling labels); the
// reversed trie then has one node for both.
#pragma once

#include <algorithm>
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

  // The arrays a search reads, wherever they live.
  struct Arrays {
    std::span<const SearchRecord> records;
    std::span<const uint32_t> terms;
    std::span<const uint32_t> shared;
    // Bit v % 64 of word v / 64: reversed node v is terminal; and the
    // terminal nodes before each block of 64.
    std::span<const uint64_t> terminal_bits;
    std::span<const uint32_t> block_ranks;
  };

  ReversedTerms() = default;
  // Owns what it is given and derives the rank blocks.
  ReversedTerms(std::vector<SearchRecord> records, std::vector<uint32_t> terms,
                std::vector<uint32_t> shared, size_t index_nodes)
      : own_records_(std::move(records)),
        own_terms_(std::move(terms)),
        own_shared_(std::move(shared)) {
    const size_t blocks = (own_records_.size() + 63) / 64;
    own_terminal_bits_.assign(blocks, 0);
    for (size_t v = 0; v < own_records_.size(); ++v) {
      if (own_records_[v].terminal())
        own_terminal_bits_[v / 64] |= uint64_t{1} << (v % 64);
    }
    own_block_ranks_.resize(blocks);
    uint32_t count = 0;
    for (size_t b = 0; b < blocks; ++b) {
      own_block_ranks_[b] = count;
      count += static_cast<uint32_t>(BitCount(own_terminal_bits_[b]));
    }
    a_ = {own_records_, own_terms_, own_shared_, own_terminal_bits_,
          own_block_ranks_};
    index_nodes_ = index_nodes;
  }
  // Reads arrays that outlive it (a mapped file), trusting none of their
  // values: a term's node is given only when it is below `index_nodes`.
  // REQUIRES: terminal_bits and block_ranks hold (records.size() + 63) / 64
  // entries each.
  ReversedTerms(const Arrays& arrays, size_t index_nodes)
      : a_(arrays), index_nodes_(index_nodes) {}

  ReversedTerms(ReversedTerms&&) = default;  // vectors keep their buffers
  ReversedTerms& operator=(ReversedTerms&&) = default;

  bool empty() const { return a_.records.empty(); }
  size_t node_count() const { return a_.records.size(); }
  const Arrays& arrays() const { return a_; }

  // Every slot names a node below the count: see RecordTrie.
  RecordTrie graph() const {
    const size_t n = a_.records.size();
    return {a_.records.data(), n, static_cast<uint32_t>(n == 0 ? 0 : n - 1),
            expansion_limit_};
  }
  // For records read from a file: a walk stops after expanding more nodes
  // than the trie has.
  void LimitExpansions() { expansion_limit_ = a_.records.size(); }

  // Calls f(index node) for each index node whose term ends at reversed
  // node v. REQUIRES: v < node_count(). A damaged table names nothing
  // rather than reading outside its arrays.
  template <class F>
  void ForEachTerm(uint32_t v, F&& f) const {
    const uint64_t below = (uint64_t{1} << (v % 64)) - 1;
    const uint32_t rank =
        a_.block_ranks[v / 64] +
        static_cast<uint32_t>(BitCount(a_.terminal_bits[v / 64] & below));
    if (rank >= a_.terms.size()) return;
    const uint32_t t = a_.terms[rank];
    if ((t & kShared) == 0) {
      if (t < index_nodes_) f(t);
      return;
    }
    const size_t at = t & ~kShared;
    if (at >= a_.shared.size()) return;
    const size_t count =
        std::min<size_t>(a_.shared[at], a_.shared.size() - at - 1);
    for (size_t i = 0; i < count; ++i) {
      const uint32_t node = a_.shared[at + 1 + i];
      if (node < index_nodes_) f(node);
    }
  }

  size_t memory_bytes() const {
    return own_records_.capacity() * sizeof(SearchRecord) +
           (own_terms_.capacity() + own_shared_.capacity() +
            own_block_ranks_.capacity()) *
               sizeof(uint32_t) +
           own_terminal_bits_.capacity() * sizeof(uint64_t);
  }

 private:
  std::vector<SearchRecord> own_records_;
  std::vector<uint32_t> own_terms_;
  std::vector<uint32_t> own_shared_;
  std::vector<uint64_t> own_terminal_bits_;
  std::vector<uint32_t> own_block_ranks_;
  Arrays a_;
  size_t index_nodes_ = 0;
  uint64_t expansion_limit_ = UINT64_MAX;
};

// The reversed trie of t's reachable terms; empty when t has none, or when
// t has more nodes than a reversed node can name.
// REQUIRES: `records` is DeriveSearchRecords(t) and not empty, `ranks`
// DerivePreorderRanks(t, records) and not empty.
ReversedTerms DeriveReversedTerms(const Trie& t,
                                  std::span<const SearchRecord> records,
                                  std::span<const uint32_t> ranks);

}  // namespace quillomar
