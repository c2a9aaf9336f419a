// Encoding of the `payloads` field of a stored index (docs/format.md,
// "Payloads").
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/codec/decode_error.hpp"
#include "core/payload/payload_table.hpp"

namespace quillomar {

// Exact number of bytes EncodePayloads writes for `table`.
// REQUIRES: table is sealed.
size_t PayloadsEncodedSize(const PayloadTable& table);

// Writes the field at `out` and returns the position after it. Bytes
// between there and `end` may be overwritten with scratch.
// REQUIRES: table is sealed; out + PayloadsEncodedSize(table) <= end and
// [out, end) is writable.
uint8_t* EncodePayloads(const PayloadTable& table, uint8_t* out,
                        const uint8_t* end);

// Reads the field from [p, limit) into `out` (replacing it), sealed. Payloads
// may be absent and their two lists may differ in length. On failure returns
// false with `err` set; `out` is then unspecified. Storage is reserved from the
// declared counts only as far as the bytes left could fill it.
[[nodiscard]] bool DecodePayloads(const uint8_t*& p, const uint8_t* limit,
                                  PayloadTable& out, codec::DecodeError& err);

}  // namespace quillomar
