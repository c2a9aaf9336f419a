#include "core/matcher/code_points.hpp"

#include "core/codec/utf8.hpp"

namespace quillomar {

std::vector<uint32_t> CodePoints(std::string_view utf8) {
  std::vector<uint32_t> out;
  out.reserve(utf8.size());
  const auto* p = reinterpret_cast<const uint8_t*>(utf8.data());
  const auto* const end = p + utf8.size();
  while (p < end) out.push_back(codec::NextCodePointLossy(p, end));
  return out;
}

}  // namespace quillomar
