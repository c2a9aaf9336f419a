#include "core/build/field_text.hpp"

#include "core/build/ascii_folding.hpp"

namespace quillomar::build {
namespace {

bool AllDigits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// The value of a digit run, or UINT64_MAX when it is above 2^64 - 2.
uint64_t DigitsValue(std::string_view digits) {
  uint64_t v = 0;
  for (char c : digits) {
    const uint64_t d = static_cast<uint64_t>(c - '0');
    if (v > (UINT64_MAX - 1 - d) / 10) return UINT64_MAX;
    v = v * 10 + d;
  }
  return v;
}

// The digits without leading zeros ("0" for zero).
std::string_view Significant(std::string_view digits) {
  size_t i = 0;
  while (i + 1 < digits.size() && digits[i] == '0') ++i;
  return digits.substr(i);
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string_view StripSpace(std::string_view s) {
  size_t b = 0;
  size_t e = s.size();
  while (b < e && IsAsciiSpace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && IsAsciiSpace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

std::string QuoteText(std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "'";
  for (unsigned char c : s) {
    if (c == '\'' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7f) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '\'';
  return out;
}

bool ParseCount(std::string_view field, uint32_t& out, std::string& error,
                const char* what) {
  const std::string_view text = StripSpace(field);
  std::string_view digits = text;
  bool negative = false;
  if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) {
    negative = digits[0] == '-';
    digits.remove_prefix(1);
  }
  if (!AllDigits(digits)) {
    error = std::string(what) + " " + QuoteText(text) + " is not an integer";
    return false;
  }
  const std::string_view value = Significant(digits);
  if (negative && value != "0") {
    error = std::string(what) + " -" + std::string(value) + " is negative";
    return false;
  }
  const uint64_t v = DigitsValue(value);
  if (v > UINT32_MAX) {
    error =
        std::string(what) + " " + std::string(value) + " is above 4294967295";
    return false;
  }
  out = static_cast<uint32_t>(v);
  return true;
}

namespace {

// 32 hex digits with any hyphens between them.
bool ParseHexUuid(std::string_view s, Uuid& out) {
  int nibbles = 0;
  for (char c : s) {
    if (c == '-') continue;
    const int h = HexValue(c);
    if (h < 0 || nibbles == 32) return false;
    if (nibbles % 2 == 0) {
      out[nibbles / 2] = static_cast<uint8_t>(h << 4);
    } else {
      out[nibbles / 2] |= static_cast<uint8_t>(h);
    }
    ++nibbles;
  }
  return nibbles == 32;
}

}  // namespace

bool ParseUuid(std::string_view text, Uuid& out) {
  if (text.find_first_of(":{}") == std::string_view::npos) {
    return ParseHexUuid(text, out);  // the usual form, without copying
  }
  // The prefixes are dropped wherever they stand, then braces at either
  // end; hyphens are skipped while reading.
  std::string s(text);
  for (const char* prefix : {"urn:", "uuid:"}) {
    for (size_t at; (at = s.find(prefix)) != std::string::npos;) {
      s.erase(at, std::string_view(prefix).size());
    }
  }
  std::string_view rest = s;
  while (!rest.empty() && (rest.front() == '{' || rest.front() == '}')) {
    rest.remove_prefix(1);
  }
  while (!rest.empty() && (rest.back() == '{' || rest.back() == '}')) {
    rest.remove_suffix(1);
  }
  return ParseHexUuid(rest, out);
}

bool ParseVideo(std::string_view field, VideoValue& out, std::string& error) {
  const std::string_view text = StripSpace(field);
  if (AllDigits(text)) {
    const std::string_view value = Significant(text);
    const uint64_t v = DigitsValue(value);
    if (v > UINT32_MAX) {
      error = "video id " + std::string(value) + " is outside 0..4294967295";
      return false;
    }
    out.is_int = true;
    out.int_id = static_cast<uint32_t>(v);
    return true;
  }
  if (!ParseUuid(text, out.uuid)) {
    error = "video id " + QuoteText(text) + " is not a UUID";
    return false;
  }
  out.is_int = false;
  return true;
}

}  // namespace quillomar::build
