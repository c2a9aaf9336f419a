// The binary encoding of a whole Trie: its eight fields one after the other
// in declaration order, with no header, padding or checksum.
//
//   node_shifts        sequence of 32-bit values
//   child_labels       sequence of code points (UTF-8, no length in front)
//   child_transitions  sequence of 32-bit values
//   payloads           sequence of optional payloads (see payload_codec.hpp)
//   uuid_ids           sequence of 16-byte identifiers (raw bytes)
//   int32_ids          sequence of 32-bit values
//   id_mode            32-bit value, 0 (Uuid) or 1 (Int32)
//   is_terminal        sequence of bytes, 0x00 or 0x01
//
// A sequence is its element count (64-bit variable-length form, below 2^32)
// followed by its elements. Variable-length integers: see codec/varint.hpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <variant>

#include "core/codec/decode_error.hpp"
#include "core/trie/trie.hpp"

namespace quillomar {

// Exact size in bytes of the encoding of `trie`. Cannot fail.
// REQUIRES: trie.payloads is sealed.
size_t EncodedSize(const Trie& trie);

// Writes the encoding of `trie` into `out`, which a caller allocated with
// exactly EncodedSize(trie) bytes; every byte of it is written.
// REQUIRES: out.size() == EncodedSize(trie).
void Encode(const Trie& trie, std::span<uint8_t> out);

// Reads a Trie from the start of `bytes`; bytes after the last field are
// ignored. Only the format is checked, not the Trie's invariants, so the
// result may be unsound (see IsSound). Longer integer forms than needed are
// accepted. Storage for a sequence is reserved only as far as the bytes left
// could fill it, so a short input announcing a huge count fails fast.
std::variant<Trie, codec::DecodeError> Decode(std::span<const uint8_t> bytes);

}  // namespace quillomar
