// What building an index from caller-supplied arrays checks before it trusts
// them, and how it turns the identifier entries into the identifier table.
// Errors are values: the text the caller is shown.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "core/trie/trie.hpp"

namespace quillomar {

// The text of FirstShapeFault(t, payload_count) (soundness.hpp), the first
// navigation rule the caller's arrays break; nullopt when they keep them
// all. `t` has its labels, shifts and slots filled; `payload_count` is the
// number of payload entries supplied.
std::optional<std::string> ShapeError(const Trie& t, size_t payload_count);

// Sets t.id_mode and fills its identifier table from the video_index
// entries, whose sizes are `sizes` and whose 4- or 16-byte contents are
// concatenated in `bytes` (entries of other sizes contribute no bytes).
// No entries: Uuid with both tables empty. All 4 bytes: Int32, each read
// little-endian. All 16 bytes: Uuid, bytes kept in order. Otherwise returns
// the error text and leaves t unchanged.
std::optional<std::string> SetIdentifiers(std::span<const size_t> sizes,
                                          std::span<const uint8_t> bytes,
                                          Trie& t);

}  // namespace quillomar
