#include "core/payload/payload_codec.hpp"

#include <algorithm>
#include <span>
#include <vector>

#include "core/codec/list_buffer.hpp"
#include "core/codec/reader.hpp"
#include "core/codec/varint.hpp"
#include "core/panic.hpp"

namespace quillomar {
namespace {

using codec::DecodeError;
using Offset = PayloadTable::Offset;

// Reads one list (count, then elements) into `buffer` and returns its new
// size as the node's end offset. At most `limit - p` elements can be present
// (each takes at least a byte), so no more room is taken; a larger count
// fails on its first missing byte, before anything is stored past that.
bool ReadList(const uint8_t*& p, const uint8_t* limit,
              codec::ListBuffer& buffer, Offset& end_offset, DecodeError& err) {
  uint32_t k;
  if (!codec::ReadCountFast(p, limit, k, err)) return false;
  uint32_t* dst =
      buffer.Extend(std::min<size_t>(k, static_cast<size_t>(limit - p)));
  const uint8_t* q = p;
  for (uint32_t i = 0; i < k; ++i) {
    if (!codec::ReadU32Fast(q, limit, dst[i], err)) return false;
  }
  if (buffer.size() > UINT32_MAX) PanicCapacityOverflow();
  end_offset = static_cast<Offset>(buffer.size());
  p = q;
  return true;
}

uint8_t* WriteList(uint8_t* out, const uint8_t* end, const uint32_t* values,
                   size_t n) {
  out = codec::WriteVarint64(out, n);
  for (size_t i = 0; i < n; ++i) {
    out = codec::WriteVarint32Bounded(out, end, values[i]);
  }
  return out;
}

}  // namespace

size_t PayloadsEncodedSize(const PayloadTable& table) {
  const size_t n = table.size();
  const std::span<const Offset> id_off = table.id_offsets();
  const std::span<const Offset> count_off = table.count_offsets();
  const std::vector<uint32_t>& ids = table.all_video_ids();
  const std::vector<uint32_t>& counts = table.all_video_counts();
  // Lists are summed over the flat arrays in one pass; the lists of absent
  // nodes (which are not written) are taken out again below.
  size_t size = codec::VarintSize64(n) + n + codec::SumVarintSize32(ids) +
                codec::SumVarintSize32(counts);
  for (size_t v = 0; v < n; ++v) {
    const size_t id_count = id_off[v + 1] - id_off[v];
    const size_t count_count = count_off[v + 1] - count_off[v];
    if (table.present(v)) {
      size += codec::VarintSize32(table.total_count(v)) +
              codec::VarintSize64(id_count) + codec::VarintSize64(count_count);
    } else if (id_count != 0 || count_count != 0) {
      size -=
          codec::SumVarintSize32({ids.data() + id_off[v], id_count}) +
          codec::SumVarintSize32({counts.data() + count_off[v], count_count});
    }
  }
  return size;
}

uint8_t* EncodePayloads(const PayloadTable& table, uint8_t* out,
                        const uint8_t* end) {
  const size_t n = table.size();
  const std::span<const Offset> id_off = table.id_offsets();
  const std::span<const Offset> count_off = table.count_offsets();
  const uint32_t* ids = table.all_video_ids().data();
  const uint32_t* counts = table.all_video_counts().data();
  out = codec::WriteVarint64(out, n);
  for (size_t v = 0; v < n; ++v) {
    if (!table.present(v)) {
      *out++ = 0;
      continue;
    }
    *out++ = 1;
    out = codec::WriteVarint32Bounded(out, end, table.total_count(v));
    out = WriteList(out, end, ids + id_off[v], id_off[v + 1] - id_off[v]);
    out = WriteList(out, end, counts + count_off[v],
                    count_off[v + 1] - count_off[v]);
  }
  return out;
}

bool DecodePayloads(const uint8_t*& p, const uint8_t* limit, PayloadTable& out,
                    DecodeError& err) {
  uint32_t n;
  if (!codec::ReadCount(p, limit, n, err)) return false;
  // Every payload takes at least its tag byte.
  const size_t room = std::min<size_t>(n, static_cast<size_t>(limit - p));
  std::vector<uint8_t> present(room);
  std::vector<uint32_t> totals(room);
  std::vector<Offset> id_off(room + 1);
  std::vector<Offset> count_off(room + 1);
  codec::ListBuffer ids;
  codec::ListBuffer counts;
  const uint8_t* q = p;
  for (uint32_t v = 0; v < n; ++v) {
    if (q == limit) return codec::FailUnexpectedEnd(err, 1);
    const uint8_t tag = *q++;
    if (tag == 1) {
      present[v] = 1;
      if (!codec::ReadU32Fast(q, limit, totals[v], err) ||
          !ReadList(q, limit, ids, id_off[v + 1], err) ||
          !ReadList(q, limit, counts, count_off[v + 1], err)) {
        return false;
      }
    } else if (tag == 0) {
      id_off[v + 1] = id_off[v];
      count_off[v + 1] = count_off[v];
    } else {
      err =
          DecodeError::UnexpectedVariant(codec::kOptionalPayloadTypeName, tag);
      return false;
    }
  }
  out = PayloadTable::FromArrays(std::move(present), std::move(totals),
                                 std::move(id_off), ids.ToVector(),
                                 std::move(count_off), counts.ToVector());
  p = q;
  return true;
}

}  // namespace quillomar
