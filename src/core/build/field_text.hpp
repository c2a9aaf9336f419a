// Reading record values from text fields (CSV and TSV logs, string id
// columns): counts, video ids and UUIDs, with the messages a refused field
// gets.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/trie/trie.hpp"

namespace quillomar::build {

// The field without leading and trailing ASCII white space (including the
// separators \x1c-\x1f).
std::string_view StripSpace(std::string_view s);

// A quoted rendering of a field for messages: 'text' with quotes,
// backslashes and control characters escaped.
std::string QuoteText(std::string_view s);

// A decimal count in 0..4294967295 (an optional sign, ASCII digits); on
// failure the message, e.g. "count -5 is negative".
bool ParseCount(std::string_view field, uint32_t& out, std::string& error,
                const char* what = "count");

// 32 hex digits, optionally with hyphens, braces and a urn:uuid: prefix.
bool ParseUuid(std::string_view text, Uuid& out);

// A video field: ASCII digits make an integer id (0..4294967295), anything
// else is UUID text.
struct VideoValue {
  bool is_int;
  uint32_t int_id;
  Uuid uuid;
};
bool ParseVideo(std::string_view field, VideoValue& out, std::string& error);

}  // namespace quillomar::build
