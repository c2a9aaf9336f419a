// A query term as the matchers see it: one 32-bit value per Unicode code
// point, so a character outside the Basic Multilingual Plane is one position.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace quillomar {

// Decodes UTF-8 text into code points. Never reads past the end of `utf8`.
// Text from the Python boundary is always valid UTF-8; any malformed byte
// sequence yields U+FFFD per offending lead byte rather than failing.
std::vector<uint32_t> CodePoints(std::string_view utf8);

}  // namespace quillomar
