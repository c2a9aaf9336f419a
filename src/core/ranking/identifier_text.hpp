// The text form in which a video identifier leaves the module.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/trie/trie.hpp"

namespace quillomar {

// Room for the longest identifier text (a UUID's 36 characters).
inline constexpr size_t kMaxIdentifierText = 36;

// Writes the unsigned decimal form of `value` (no sign, no leading zeros)
// into `out` and returns its length (1 to 10).
size_t WriteDecimal(uint32_t value, char* out);

// Writes the 36-character UUID text of `bytes`: each byte in stored order as
// two lower-case hex digits, with '-' after bytes 4, 6, 8 and 10.
void WriteUuid(const Uuid& bytes, char* out);

// Writes the identifier text of video number `video` from the identifier
// table that `t.id_mode` names into `out` (room for kMaxIdentifierText) and
// returns its length, or 0 when the table has no entry `video`.
size_t IdentifierText(const Trie& t, uint32_t video, char* out);

// The same from tables held anywhere.
size_t IdentifierText(IdMode mode, std::span<const Uuid> uuid_ids,
                      std::span<const uint32_t> int32_ids, uint32_t video,
                      char* out);

}  // namespace quillomar
