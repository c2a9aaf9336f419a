// The binary encoding of a whole Trie, the stored index format that
// docs/format.md describes: the eight fields one after the other in
// declaration order, with no header, padding or checksum.
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

// How many bytes from the start of `bytes` Decode reads (where the index
// ends, so what follows it can be told apart), or the error Decode reports.
std::variant<size_t, codec::DecodeError> DecodedLength(
    std::span<const uint8_t> bytes);

}  // namespace quillomar
