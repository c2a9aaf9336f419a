#include "core/payload/payload_codec.hpp"

#include <algorithm>
#include <span>

#include "core/codec/reader.hpp"
#include "core/codec/varint.hpp"

namespace quillomar {
namespace {

using codec::DecodeError;

size_t SumVarintSize32(std::span<const uint32_t> values) {
  size_t total = 0;
  for (uint32_t v : values) total += codec::VarintSize32(v);
  return total;
}

uint8_t* WriteList(uint8_t* out, std::span<const uint32_t> values) {
  out = codec::WriteVarint64(out, values.size());
  for (uint32_t v : values) out = codec::WriteVarint32(out, v);
  return out;
}

// Reads a list's count and elements into storage the table appends for them.
// At most `limit - p` elements can be present (each takes at least a byte),
// so no more is reserved; a larger count fails on its first missing byte,
// before anything is stored past that.
template <class Extend>
bool ReadList(const uint8_t*& p, const uint8_t* limit, Extend extend,
              DecodeError& err) {
  uint32_t k;
  if (!codec::ReadCount(p, limit, k, err)) return false;
  uint32_t* dst = extend(std::min<size_t>(k, static_cast<size_t>(limit - p)));
  const uint8_t* q = p;
  for (uint32_t i = 0; i < k; ++i) {
    if (!codec::ReadU32(q, limit, dst[i], err)) return false;
  }
  p = q;
  return true;
}

}  // namespace

size_t PayloadsEncodedSize(const PayloadTable& table) {
  const size_t n = table.size();
  // Lists are summed over the flat arrays in one pass; the lists of absent
  // nodes (which are not written) are taken out again below.
  size_t size = codec::VarintSize64(n) + n +
                SumVarintSize32(table.all_video_ids()) +
                SumVarintSize32(table.all_video_counts());
  for (size_t v = 0; v < n; ++v) {
    const auto ids = table.video_ids(v);
    const auto counts = table.video_counts(v);
    if (table.present(v)) {
      size += codec::VarintSize32(table.total_count(v)) +
              codec::VarintSize64(ids.size()) +
              codec::VarintSize64(counts.size());
    } else if (!ids.empty() || !counts.empty()) {
      size -= SumVarintSize32(ids) + SumVarintSize32(counts);
    }
  }
  return size;
}

uint8_t* EncodePayloads(const PayloadTable& table, uint8_t* out) {
  const size_t n = table.size();
  out = codec::WriteVarint64(out, n);
  for (size_t v = 0; v < n; ++v) {
    if (!table.present(v)) {
      *out++ = 0;
      continue;
    }
    *out++ = 1;
    out = codec::WriteVarint32(out, table.total_count(v));
    out = WriteList(out, table.video_ids(v));
    out = WriteList(out, table.video_counts(v));
  }
  return out;
}

bool DecodePayloads(const uint8_t*& p, const uint8_t* limit, PayloadTable& out,
                    DecodeError& err) {
  uint32_t n;
  if (!codec::ReadCount(p, limit, n, err)) return false;
  out.Reserve(std::min<size_t>(n, static_cast<size_t>(limit - p)), 0, 0);
  const uint8_t* q = p;
  for (uint32_t v = 0; v < n; ++v) {
    uint8_t tag;
    if (!codec::ReadByte(q, limit, tag, err)) return false;
    if (tag == 0) {
      out.AppendAbsent();
      continue;
    }
    if (tag != 1) {
      err =
          DecodeError::UnexpectedVariant(codec::kOptionalPayloadTypeName, tag);
      return false;
    }
    uint32_t total;
    if (!codec::ReadU32(q, limit, total, err)) return false;
    out.AppendPresent(total);
    if (!ReadList(
            q, limit, [&](size_t k) { return out.ExtendIds(k); }, err) ||
        !ReadList(
            q, limit, [&](size_t k) { return out.ExtendCounts(k); }, err)) {
      return false;
    }
  }
  out.Seal();
  p = q;
  return true;
}

}  // namespace quillomar
