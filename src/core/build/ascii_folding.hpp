// The package's default normalisation on ASCII text, done natively so that
// a log of ASCII terms is normalised without a call into Python per term:
// letters lower-cased, every run of white space (as Python's str.split()
// sees ASCII: tab, line feed, vertical tab, form feed, carriage return, the
// four separators 0x1C-0x1F and space) made one space, none at either end.
// Held to the Python definition by the builder's tests.
#pragma once

#include <string>
#include <string_view>

namespace quillomar::build {

// White space as Python's str.split() and str.strip() see ASCII.
inline bool IsAsciiSpace(unsigned char c) {
  return c == ' ' || (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x1F);
}

inline bool IsAscii(std::string_view s) {
  for (unsigned char c : s) {
    if (c >= 0x80) return false;
  }
  return true;
}

// REQUIRES: IsAscii(raw).
inline void FoldAscii(std::string_view raw, std::string& out) {
  out.clear();
  bool gap = false;  // white space seen since the last kept character
  for (unsigned char c : raw) {
    if (IsAsciiSpace(c)) {
      gap = true;
      continue;
    }
    if (gap && !out.empty()) out.push_back(' ');
    gap = false;
    out.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32)
                                       : static_cast<char>(c));
  }
}

}  // namespace quillomar::build
