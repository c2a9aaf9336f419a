#include "core/build/term_rule.hpp"

#include <cstring>

namespace quillomar::build {
namespace {

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Validates the non-ASCII sequence starting at s[i]; returns its length, or
// 0 when it is not a well-formed scalar value.
size_t SequenceLength(const unsigned char* s, size_t i, size_t n) {
  const unsigned char b0 = s[i];
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    return i + 1 < n && IsContinuation(s[i + 1]) ? 2 : 0;
  }
  if (b0 >= 0xE0 && b0 <= 0xEF) {
    if (i + 2 >= n || !IsContinuation(s[i + 1]) || !IsContinuation(s[i + 2])) {
      return 0;
    }
    if (b0 == 0xE0 && s[i + 1] < 0xA0) return 0;   // overlong
    if (b0 == 0xED && s[i + 1] >= 0xA0) return 0;  // surrogate
    return 3;
  }
  if (b0 >= 0xF0 && b0 <= 0xF4) {
    if (i + 3 >= n || !IsContinuation(s[i + 1]) || !IsContinuation(s[i + 2]) ||
        !IsContinuation(s[i + 3])) {
      return 0;
    }
    if (b0 == 0xF0 && s[i + 1] < 0x90) return 0;   // overlong
    if (b0 == 0xF4 && s[i + 1] >= 0x90) return 0;  // above U+10FFFF
    return 4;
  }
  return 0;
}

}  // namespace

TermFault CheckTerm(std::string_view term) {
  const size_t n = term.size();
  if (n == 0) return TermFault::kEmpty;
  const auto* s = reinterpret_cast<const unsigned char*>(term.data());
  size_t i = 0;
  while (i < n) {
    // Eight ASCII bytes at a time, the common case of a search log.
    if (i + 8 <= n) {
      uint64_t w;
      std::memcpy(&w, s + i, 8);
      const bool ascii = (w & 0x8080808080808080ull) == 0;
      const bool has_zero =
          ((w - 0x0101010101010101ull) & ~w & 0x8080808080808080ull) != 0;
      if (ascii && !has_zero) {
        i += 8;
        continue;
      }
    }
    const unsigned char c = s[i];
    if (c == 0) return TermFault::kNul;
    if (c < 0x80) {
      ++i;
      continue;
    }
    const size_t len = SequenceLength(s, i, n);
    if (len == 0) return TermFault::kInvalidUtf8;
    i += len;
  }
  return TermFault::kNone;
}

const char* TermFaultText(TermFault fault) {
  switch (fault) {
    case TermFault::kEmpty:
      return "term is empty";
    case TermFault::kNul:
      return "term contains U+0000";
    case TermFault::kInvalidUtf8:
      return "term is not UTF-8 text";
    case TermFault::kNone:
      break;
  }
  return "term is valid";
}

}  // namespace quillomar::build
