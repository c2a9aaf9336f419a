// The search box's distance between a typed word and a word of a term:
// Levenshtein distance, except that one swap of two neighbouring letters
// of the typed word counts as a single edit ("balck" is one edit from
// "black"). Per word at most one swap is taken at that price; further ones
// cost two edits each, as in plain Levenshtein distance.
//
// As a prefix, the distance is the least over the word's prefixes, so that
// a half-typed last word ("gui") is compared with the start of "guitar".
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace quillomar::terms {

// Longest typed word compared, in code points; a longer one matches no
// term word (the search from the start of terms still sees it).
inline constexpr size_t kMaxTypedWord = 32;

struct WordDistance {
  uint32_t distance;  // more than the bound means "out of reach"
  uint32_t length;    // code points of the word (or prefix) reached
};

// The distance of `typed` from `word` (from its best prefix when `prefix`)
// if it is at most `bound`, else {bound + 1, 0}. Allocates nothing.
// REQUIRES: typed.size() <= kMaxTypedWord, bound <= 3.
WordDistance BoxDistance(std::span<const uint32_t> typed,
                         std::span<const uint32_t> word, bool prefix,
                         uint32_t bound);

}  // namespace quillomar::terms
