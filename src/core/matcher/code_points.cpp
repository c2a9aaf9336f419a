#include "core/matcher/code_points.hpp"

namespace quillomar {

std::vector<uint32_t> CodePoints(std::string_view utf8) {
  constexpr uint32_t kReplacement = 0xFFFD;
  std::vector<uint32_t> out;
  out.reserve(utf8.size());
  const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
  const auto* const end = p + utf8.size();
  while (p < end) {
    const unsigned char b = *p;
    if (b < 0x80) {
      out.push_back(b);
      ++p;
      continue;
    }
    size_t width;
    uint32_t cp;
    if (b >= 0xC2 && b <= 0xDF) {
      width = 2;
      cp = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      width = 3;
      cp = b & 0x0F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      width = 4;
      cp = b & 0x07;
    } else {
      out.push_back(kReplacement);
      ++p;
      continue;
    }
    if (static_cast<size_t>(end - p) < width) {
      out.push_back(kReplacement);
      ++p;
      continue;
    }
    bool ok = true;
    for (size_t i = 1; i < width; ++i) {
      if ((p[i] & 0xC0) != 0x80) ok = false;
      cp = (cp << 6) | (p[i] & 0x3F);
    }
    const uint32_t min_for_width = width == 2   ? 0x80
                                   : width == 3 ? 0x800
                                                : 0x10000;
    if (!ok || cp < min_for_width || cp > 0x10FFFF ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
      out.push_back(kReplacement);
      ++p;
      continue;
    }
    out.push_back(cp);
    p += width;
  }
  return out;
}

}  // namespace quillomar
