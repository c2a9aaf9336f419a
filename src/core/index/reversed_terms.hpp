// The trie of the index's terms spelt backwards, in the breadth-first
// layout, with search records: a search can read a query from its end and
// still walk a trie, and each term end found there leads back to the
// index's node of that term.
//
// Only terms a search can reach are in it (none whose path shows a label
// 0). Two index nodes can spell the same term (equal sibling labels); the
// reversed trie then has one node for both.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/index/search_records.hpp"
#include "core/trie/trie.hpp"

namespace quillomar {

class ReversedTerms {
 public:
  ReversedTerms() = default;
  ReversedTerms(std::vector<SearchRecord> records, std::vector<uint32_t> shifts,
                std::vector<uint32_t> term_of, std::vector<uint32_t> shared)
      : records_(std::move(records)),
        shifts_(std::move(shifts)),
        term_of_(std::move(term_of)),
        shared_(std::move(shared)) {}

  bool empty() const { return records_.empty(); }
  size_t node_count() const { return records_.size(); }

  RecordTrie graph() const {
    return {records_.data(), shifts_.data(), records_.size(),
            static_cast<uint32_t>(records_.empty() ? 0 : records_.size() - 1)};
  }

  // Calls f(index node) for each index node whose term ends at reversed
  // node v. REQUIRES: records()[v] is terminal.
  template <class F>
  void ForEachTerm(uint32_t v, F&& f) const {
    const uint32_t t = term_of_[v];
    if ((t & kShared) == 0) {
      f(t);
      return;
    }
    const uint32_t at = t & ~kShared;
    for (uint32_t i = 0; i < shared_[at]; ++i) f(shared_[at + 1 + i]);
  }

  size_t memory_bytes() const {
    return records_.capacity() * sizeof(SearchRecord) +
           (shifts_.capacity() + term_of_.capacity() + shared_.capacity()) *
               sizeof(uint32_t);
  }

  // term_of[v] with this bit set points into `shared`: a count, then the
  // index nodes that spell the same term.
  static constexpr uint32_t kShared = uint32_t{1} << 31;

 private:
  std::vector<SearchRecord> records_;
  std::vector<uint32_t> shifts_;
  std::vector<uint32_t> term_of_;
  std::vector<uint32_t> shared_;
};

// The reversed trie of t's reachable terms; empty when t has none, or when
// t has more nodes than a reversed node can name.
// REQUIRES: `records` is DeriveSearchRecords(t) and not empty, `ranks`
// DerivePreorderRanks(t, records).
ReversedTerms DeriveReversedTerms(const Trie& t,
                                  std::span<const SearchRecord> records,
                                  std::span<const uint32_t> ranks);

}  // namespace quillomar
