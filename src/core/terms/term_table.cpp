#include "core/terms/term_table.hpp"

#include <cstring>

namespace quillomar::terms {
namespace {

void PutLe(std::vector<uint8_t>& out, size_t at, uint64_t v, size_t width) {
  for (size_t i = 0; i < width; ++i)
    out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

uint64_t GetLe(const uint8_t* p, size_t width) {
  uint64_t v = 0;
  for (size_t i = 0; i < width; ++i)
    v |= static_cast<uint64_t>(p[i]) << (8 * i);
  return v;
}

constexpr size_t kHeader = 8;

// Where the text bytes start for n terms.
size_t TextsAt(size_t n) {
  const size_t end = kHeader + 8 * (n + 1) + 4 * n;
  return (end + 7) / 8 * 8;
}

}  // namespace

std::vector<uint8_t> EncodeTermTable(std::span<const std::string_view> terms,
                                     std::span<const uint32_t> counts) {
  const size_t n = terms.size();
  size_t text_bytes = 0;
  for (std::string_view t : terms) text_bytes += t.size();
  const size_t texts_at = TextsAt(n);
  std::vector<uint8_t> out(texts_at + text_bytes, 0);
  PutLe(out, 0, n, 4);
  uint64_t offset = 0;
  for (size_t i = 0; i < n; ++i) {
    PutLe(out, kHeader + 8 * i, offset, 8);
    PutLe(out, kHeader + 8 * (n + 1) + 4 * i, counts[i], 4);
    if (!terms[i].empty()) {
      std::memcpy(out.data() + texts_at + offset, terms[i].data(),
                  terms[i].size());
    }
    offset += terms[i].size();
  }
  PutLe(out, kHeader + 8 * n, offset, 8);
  return out;
}

std::optional<TermTableView> TermTableView::Open(
    std::span<const uint8_t> bytes) {
  if (bytes.size() < kHeader) return std::nullopt;
  const uint64_t n = GetLe(bytes.data(), 4);
  // Each term needs 12 bytes of arrays, so n is bounded by the size before
  // any arithmetic on it can overflow.
  if (n > bytes.size() / 12 || GetLe(bytes.data() + 4, 4) != 0)
    return std::nullopt;
  const size_t texts_at = TextsAt(n);
  if (texts_at > bytes.size()) return std::nullopt;
  const uint8_t* offsets = bytes.data() + kHeader;
  uint64_t previous = 0;
  for (size_t i = 0; i <= n; ++i) {
    const uint64_t at = GetLe(offsets + 8 * i, 8);
    if (at < previous) return std::nullopt;
    previous = at;
  }
  if (GetLe(offsets, 8) != 0 || previous != bytes.size() - texts_at)
    return std::nullopt;
  TermTableView view;
  view.offsets_ = offsets;
  view.counts_ = offsets + 8 * (n + 1);
  view.texts_ = reinterpret_cast<const char*>(bytes.data() + texts_at);
  view.count_ = n;
  return view;
}

std::string_view TermTableView::text(uint32_t term) const {
  const uint64_t begin = GetLe(offsets_ + 8 * size_t{term}, 8);
  const uint64_t end = GetLe(offsets_ + 8 * (size_t{term} + 1), 8);
  return {texts_ + begin, static_cast<size_t>(end - begin)};
}

uint32_t TermTableView::count(uint32_t term) const {
  return static_cast<uint32_t>(GetLe(counts_ + 4 * size_t{term}, 4));
}

}  // namespace quillomar::terms
