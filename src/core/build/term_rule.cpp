#include "core/build/term_rule.hpp"

#include <cstring>

#include "core/codec/utf8.hpp"

namespace quillomar::build {
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
    const size_t len = codec::Utf8Width(c);
    uint32_t code_point;
    if (len == 0 || n - i < len || !codec::DecodeUtf8(s + i, len, code_point)) {
      return TermFault::kInvalidUtf8;
    }
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
