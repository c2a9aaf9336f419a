// Whether a term matches what was typed, word by word and in any order:
// every typed word must reach its own word of the term (the last typed
// word as a prefix unless the user finished it with a space, the others as
// whole words), each within its own edit budget (see word_distance.hpp).
//
// How it matched, best first:
//   start  the typed words reach the term's first words, in order;
//   word   they reach, in order, the words from a later word on;
//   order  they reach words of the term in some other arrangement.
// A match without any edit beats one that needs edits, whatever the way.
//
// Finding an arrangement is a bipartite matching (typed words to term
// words), so n typed words cost O(n^2 * m) steps, never n! orders.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "core/terms/word_distance.hpp"

namespace quillomar::terms {

// Typed words taken into account; a longer text matches only from the
// start of terms.
inline constexpr size_t kMaxTypedWords = 8;
// Words of a term compared; later ones are not matched.
inline constexpr size_t kMaxTermWords = 64;

enum class How : uint8_t { kStart = 0, kWord = 1, kOrder = 2 };

struct TypedWord {
  std::span<const uint32_t> text;  // REQUIRES: size() <= kMaxTypedWord
  uint32_t budget;                 // REQUIRES: <= 3
  bool prefix;
};

// A highlighted range of the term, in code points [begin, end).
struct Range {
  uint32_t begin;
  uint32_t end;
};

struct Match {
  How how;
  bool corrected;
  // One range per typed word, in the term's order.
  std::array<Range, kMaxTypedWords> ranges;
  uint32_t range_count;
};

// Reusable scratch for matching many terms against one typed text.
class TermMatcher {
 public:
  // REQUIRES: 1 <= typed.size() <= kMaxTypedWords.
  explicit TermMatcher(std::span<const TypedWord> typed) : typed_(typed) {}

  // True when `term` (valid UTF-8, words separated by U+0020) matches;
  // `out` then says how.
  bool Match(std::string_view term, struct Match& out);

 private:
  // Term words as code points: word k is code_points_[starts_[k],
  // starts_[k] + lengths_[k]).
  void Split(std::string_view term);
  bool Arrange(uint32_t max_distance, How& how,
               std::array<uint8_t, kMaxTypedWords>& to);

  std::span<const TypedWord> typed_;
  std::vector<uint32_t> code_points_;
  std::vector<uint32_t> starts_;
  std::vector<uint32_t> lengths_;
  // distance_[i * kMaxTermWords + k]: typed word i against term word k.
  std::array<WordDistance, kMaxTypedWords * kMaxTermWords> distance_;
};

}  // namespace quillomar::terms
