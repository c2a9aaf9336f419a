// The search section of an index file: the arrays the searches read, laid
// out so that a mapping of the file is the index.
//
// A 64-byte header, a table of arrays (one 24-byte entry per array, in the
// order of ArrayKind), then the arrays, each starting on a 64-byte
// boundary. Every integer is little-endian. docs/format.md describes it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace quillomar::mapped {

inline constexpr std::array<uint8_t, 8> kMagic = {'Q', 'L', 'M', 'S',
                                                  'E', 'A', 'R', 'C'};
inline constexpr uint32_t kVersion = 1;
// Written as the 4 bytes 04 03 02 01: a reader on a machine of the other
// byte order sees 0x04030201 and refuses the section.
inline constexpr uint32_t kByteOrder = 0x01020304;
inline constexpr size_t kHeaderSize = 64;
inline constexpr size_t kEntrySize = 24;
inline constexpr size_t kAlignment = 64;

// Header flags.
inline constexpr uint32_t kFlagInt32Ids = 1;  // else UUID identifiers
inline constexpr uint32_t kFlagTwoWay = 2;    // the reversed-term arrays

enum class ArrayKind : uint32_t {
  kRecords,             // 12-byte search records, one per node
  kRanks,               // u32 pre-order rank per node; none in text order
  kReversedRecords,     // 12-byte records of the reversed-term trie
  kReversedTerms,       // u32 per terminal reversed node
  kReversedShared,      // u32 lists of nodes sharing one term
  kReversedTerminals,   // u64 terminal bits per block of 64 reversed nodes
  kReversedBlockRanks,  // u32 terminals before each block
  kForwardPairs,        // 16-byte (key, node) slots; 0 or a power of two
  kReversedPairs,       // the same for the reversed trie
  kPayloadPresent,      // u8 per node
  kPayloadTotals,       // u32 per node
  kPayloadOffsets,      // u32, one more than the nodes
  kVideoIds,            // u32
  kVideoCounts,         // u32, as many as the ids
  kUuidIds,             // 16 bytes per video
  kInt32Ids,            // u32 per video
  kCount,
};
inline constexpr size_t kArrayCount = static_cast<size_t>(ArrayKind::kCount);

// Element size of each array, and the name `quillomar info` shows.
inline constexpr std::array<uint32_t, kArrayCount> kElementSize = {
    12, 4, 12, 4, 4, 8, 4, 16, 16, 1, 4, 4, 4, 4, 16, 4};
inline constexpr std::array<const char*, kArrayCount> kArrayName = {
    "search records",
    "pre-order ranks",
    "reversed records",
    "reversed terms",
    "reversed shared terms",
    "reversed terminal bits",
    "reversed block ranks",
    "depth-two table",
    "reversed depth-two table",
    "payload flags",
    "payload totals",
    "payload offsets",
    "video ids",
    "video counts",
    "uuid identifiers",
    "int32 identifiers",
};

// Where an array lies, relative to the section's first byte.
struct ArrayPlace {
  uint64_t offset;
  uint64_t count;  // elements
};

inline size_t AlignUp(size_t n) {
  return (n + kAlignment - 1) & ~(kAlignment - 1);
}

}  // namespace quillomar::mapped
