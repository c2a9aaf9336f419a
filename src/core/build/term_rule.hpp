// What a search term must be to enter an index: non-empty, valid UTF-8 (no
// surrogate code points, no overlong forms) and free of U+0000, which marks
// "no label" in the trie and would make the term's node invisible.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quillomar::build {

enum class TermFault : uint8_t { kNone, kEmpty, kNul, kInvalidUtf8 };

TermFault CheckTerm(std::string_view term);

// The text the builder reports for a fault, e.g. "term is empty".
const char* TermFaultText(TermFault fault);

}  // namespace quillomar::build
