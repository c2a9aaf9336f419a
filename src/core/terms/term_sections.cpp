#include "core/terms/term_sections.hpp"

#include <algorithm>
#include <numeric>
#include <stdexcept>
#include <string_view>

#include "core/build/trie_layout.hpp"
#include "core/terms/term_table.hpp"
#include "core/trie/trie_codec.hpp"

namespace quillomar::terms {
namespace {

uint32_t Saturate(uint64_t v) {
  return v > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(v);
}

// The totals of every interned term, as the index records them.
std::vector<uint32_t> TotalsOf(const build::Aggregate& records) {
  const size_t n = records.terms().size();
  std::vector<uint64_t> sums(n, 0);
  for (const build::PairTable::Slot& s : records.pairs().slots()) {
    if (s.term != build::PairTable::kEmpty) sums[s.term] += s.sum;
  }
  std::vector<uint32_t> totals(n);
  for (uint32_t t = 0; t < n; ++t) {
    totals[t] = records.has_total(t) ? records.total(t) : Saturate(sums[t]);
  }
  return totals;
}

// Appends the word-suffixes of `term` (words separated by spaces) to
// `texts`, ending each at `ends`.
void AddSuffixes(std::string_view term, std::vector<char>& texts,
                 std::vector<uint64_t>& ends) {
  std::vector<size_t> starts;
  for (size_t i = 0; i < term.size(); ++i) {
    if (term[i] != ' ' && (i == 0 || term[i - 1] == ' ')) starts.push_back(i);
  }
  const size_t suffixes = std::min<size_t>(starts.size(), kMaxSuffixes);
  for (size_t s = 0; s < suffixes; ++s) {
    size_t end = term.size();
    if (s + kMaxSuffixWords < starts.size()) {
      end = starts[s + kMaxSuffixWords];
      while (end > starts[s] && term[end - 1] == ' ') --end;
    }
    texts.insert(texts.end(),
                 term.begin() + static_cast<std::ptrdiff_t>(starts[s]),
                 term.begin() + static_cast<std::ptrdiff_t>(end));
    ends.push_back(texts.size());
  }
}

}  // namespace

TermSections BuildTermSections(const build::Aggregate& records,
                               uint32_t top_n) {
  const build::TermTable& interned = records.terms();
  std::vector<uint32_t> numbers;
  numbers.reserve(records.term_count());
  for (uint32_t t = 0; t < interned.size(); ++t) {
    if (records.is_present(t)) numbers.push_back(t);
  }
  std::sort(numbers.begin(), numbers.end(), [&](uint32_t a, uint32_t b) {
    return interned.at(a) < interned.at(b);
  });
  const std::vector<uint32_t> all_totals = TotalsOf(records);

  std::vector<std::string_view> texts(numbers.size());
  std::vector<uint32_t> totals(numbers.size());
  std::vector<char> suffixes;
  std::vector<uint64_t> offsets{0};
  std::vector<uint32_t> ids;
  std::vector<uint32_t> counts;
  for (uint32_t k = 0; k < numbers.size(); ++k) {
    texts[k] = interned.at(numbers[k]);
    totals[k] = all_totals[numbers[k]];
    const size_t before = offsets.size();
    AddSuffixes(texts[k], suffixes, offsets);
    ids.insert(ids.end(), offsets.size() - before, k);
    counts.insert(counts.end(), offsets.size() - before, totals[k]);
  }

  TermSections out;
  out.table = EncodeTermTable(texts, totals);
  build::Aggregate suffix_records;
  if (!ids.empty()) {
    build::RecordBatch batch;
    batch.terms = {suffixes.data(), offsets, 0};
    batch.id_kind = IdMode::kInt32;
    batch.int_ids = ids;
    batch.counts = counts;
    if (suffix_records.Add(batch))
      throw std::logic_error("a term's suffix was refused");
  }
  const Trie trie = build::BuildTrie(suffix_records, top_n);
  out.trie.resize(EncodedSize(trie));
  Encode(trie, out.trie);
  return out;
}

}  // namespace quillomar::terms
