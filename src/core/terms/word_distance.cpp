#include "core/terms/word_distance.hpp"

#include <algorithm>
#include <array>

namespace quillomar::terms {
namespace {

// Columns of the table: a typed word is at most kMaxTypedWord long and only
// word prefixes up to bound longer than it can be within the bound.
constexpr size_t kMaxColumns = kMaxTypedWord + 4 + 1;

// Plain Levenshtein distance (or least over prefixes of `word`), cut at
// `bound`; rows run over `word`, columns over `typed`.
WordDistance Levenshtein(std::span<const uint32_t> typed,
                         std::span<const uint32_t> word, bool prefix,
                         uint32_t bound) {
  const size_t n = typed.size();
  const uint32_t out = bound + 1;
  if (!prefix && (word.size() > n + bound || n > word.size() + bound)) {
    return {out, 0};
  }
  const size_t rows = std::min(word.size(), n + bound);
  std::array<uint32_t, kMaxColumns> row;
  for (size_t j = 0; j <= n; ++j) row[j] = static_cast<uint32_t>(j);
  WordDistance best{out, 0};
  if (prefix && row[n] <= bound) best = {row[n], 0};
  bool reached_end = true;
  for (size_t i = 1; i <= rows; ++i) {
    uint32_t diagonal = row[0];
    row[0] = static_cast<uint32_t>(i);
    uint32_t least = row[0];
    for (size_t j = 1; j <= n; ++j) {
      const uint32_t above = row[j];
      const uint32_t change = diagonal + (word[i - 1] != typed[j - 1]);
      row[j] = std::min({change, above + 1, row[j - 1] + 1});
      diagonal = above;
      least = std::min(least, row[j]);
    }
    // A prefix as close as the best so far but nearer the typed length
    // is the one a reader expects to see highlighted.
    if (prefix && row[n] <= bound &&
        (row[n] < best.distance || (row[n] == best.distance && i <= n))) {
      best = {row[n], static_cast<uint32_t>(i)};
    }
    if (least > bound) {
      reached_end = false;
      break;
    }
  }
  if (!prefix) {
    return reached_end && row[n] <= bound
               ? WordDistance{row[n], static_cast<uint32_t>(word.size())}
               : WordDistance{out, 0};
  }
  return best;
}

}  // namespace

WordDistance BoxDistance(std::span<const uint32_t> typed,
                         std::span<const uint32_t> word, bool prefix,
                         uint32_t bound) {
  WordDistance best = Levenshtein(typed, word, prefix, bound);
  if (best.distance <= 1 || bound == 0 || typed.size() < 2) return best;
  std::array<uint32_t, kMaxTypedWord> swapped;
  std::copy(typed.begin(), typed.end(), swapped.begin());
  const std::span<const uint32_t> view(swapped.data(), typed.size());
  for (size_t k = 0; k + 1 < typed.size(); ++k) {
    if (typed[k] == typed[k + 1]) continue;
    std::swap(swapped[k], swapped[k + 1]);
    // The swap is worth having only below the best so far and within the
    // bound: at most that many edits less one after it.
    const uint32_t limit = std::min(best.distance - 2, bound - 1);
    const WordDistance found = Levenshtein(view, word, prefix, limit);
    if (found.distance <= limit) best = {found.distance + 1, found.length};
    std::swap(swapped[k], swapped[k + 1]);
    if (best.distance <= 1) break;
  }
  return best;
}

}  // namespace quillomar::terms
