#include "core/ranking/identifier_text.hpp"

namespace quillomar {

size_t WriteDecimal(uint32_t value, char* out) {
  char tmp[10];
  size_t n = 0;
  do {
    tmp[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (size_t i = 0; i < n; ++i) out[i] = tmp[n - 1 - i];
  return n;
}

void WriteUuid(const Uuid& bytes, char* out) {
  static constexpr char kHex[] = "0123456789abcdef";
  size_t o = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out[o++] = '-';
    out[o++] = kHex[bytes[i] >> 4];
    out[o++] = kHex[bytes[i] & 0x0F];
  }
}

size_t IdentifierText(IdMode mode, std::span<const Uuid> uuid_ids,
                      std::span<const uint32_t> int32_ids, uint32_t video,
                      char* out) {
  if (mode == IdMode::kInt32) {
    if (video >= int32_ids.size()) return 0;
    return WriteDecimal(int32_ids[video], out);
  }
  if (video >= uuid_ids.size()) return 0;
  WriteUuid(uuid_ids[video], out);
  return kMaxIdentifierText;
}

size_t IdentifierText(const Trie& t, uint32_t video, char* out) {
  return IdentifierText(t.id_mode, t.uuid_ids, t.int32_ids, video, out);
}

}  // namespace quillomar
