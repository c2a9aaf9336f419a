#include "core/payload/payload_codec.hpp"

#include <algorithm>
#include <span>
#include <vector>

#include "core/codec/reader.hpp"
#include "core/codec/varint.hpp"
#include "core/memory/list_buffer.hpp"
#include "core/panic.hpp"

namespace quillomar {
namespace {

using codec::DecodeError;
using Offset = PayloadTable::Offset;

// Reads one list (count, then elements) into `buffer` and returns its new
// size as the node's end offset. At most `limit - p` elements can be present
// (each takes at least a byte), so no more room is taken; a larger count
// fails on its first missing byte, before anything is stored past that.
[[gnu::always_inline]] inline bool ReadList(const uint8_t*& p,
                                            const uint8_t* limit,
                                            memory::ListBuffer& buffer,
                                            Offset& end_offset,
                                            DecodeError& err) {
  uint32_t k;
  if (!codec::ReadCountFast(p, limit, k, err)) return false;
  uint32_t* dst =
      buffer.Extend(std::min<size_t>(k, static_cast<size_t>(limit - p)));
  const uint8_t* q = p;
  for (uint32_t i = 0; i < k; ++i) {
    uint32_t v;  // stored only once read: see above
    if (!codec::ReadU32Fast(q, limit, v, err)) return false;
    dst[i] = v;
  }
  if (buffer.size() > UINT32_MAX) PanicCapacityOverflow();
  end_offset = static_cast<Offset>(buffer.size());
  p = q;
  return true;
}

}  // namespace

size_t PayloadsEncodedSize(const PayloadTable& table) {
  const size_t n = table.size();
  const uint8_t* present = table.present_flags().data();
  const uint32_t* totals = table.total_counts_array().data();
  const Offset* id_off = table.id_offsets().data();
  const Offset* count_off = table.count_offsets().data();
  const std::vector<uint32_t>& ids = table.all_video_ids();
  const std::vector<uint32_t>& counts = table.all_video_counts();
  // A tag per node, and the lists summed over the flat arrays in one pass.
  size_t size = codec::VarintSize64(n) + n + codec::SumVarintSize32(ids) +
                codec::SumVarintSize32(counts);
  // Headers of present nodes: each header is 3 to 15 bytes.
  const size_t headers = codec::BlockSum32<size_t{1} << 28>(n, [&](size_t v) {
    const uint32_t header = static_cast<uint32_t>(
        codec::VarintSize32(totals[v]) +
        codec::VarintSize32(id_off[v + 1] - id_off[v]) +
        codec::VarintSize32(count_off[v + 1] - count_off[v]));
    return header & (0u - present[v]);
  });
  const size_t absent = codec::BlockSum32<size_t{1} << 30>(
      n, [&](size_t v) { return present[v] ^ 1u; });
  size += headers;
  // The lists of absent nodes are not written; built tables have none.
  if (absent != 0) {
    for (size_t v = 0; v < n; ++v) {
      if (present[v] != 0) continue;
      size -= codec::SumVarintSize32(
                  {ids.data() + id_off[v], id_off[v + 1] - id_off[v]}) +
              codec::SumVarintSize32({counts.data() + count_off[v],
                                      count_off[v + 1] - count_off[v]});
    }
  }
  return size;
}

uint8_t* EncodePayloads(const PayloadTable& table, uint8_t* out,
                        const uint8_t* end) {
  const size_t n = table.size();
  const uint8_t* present = table.present_flags().data();
  const uint32_t* totals = table.total_counts_array().data();
  const Offset* id_off = table.id_offsets().data();
  const Offset* count_off = table.count_offsets().data();
  const uint32_t* ids = table.all_video_ids().data();
  const uint32_t* counts = table.all_video_counts().data();
  out = codec::WriteVarint64(out, n);
  for (size_t v = 0; v < n; ++v) {
    if (present[v] == 0) {
      *out++ = 0;
      continue;
    }
    const uint32_t* node_ids = ids + id_off[v];
    const uint32_t* node_counts = counts + count_off[v];
    const size_t id_count = id_off[v + 1] - id_off[v];
    const size_t count_count = count_off[v + 1] - count_off[v];
    // Tag, total and two list lengths (all below 2^32) take at most 16
    // bytes, each list element at most 5.
    if (static_cast<size_t>(end - out) >=
        16 + 5 * (id_count + count_count) + 8) {
      *out++ = 1;
      out = codec::WriteVarint32Wide(out, totals[v]);
      out = codec::WriteVarint32Wide(out, static_cast<uint32_t>(id_count));
      for (size_t i = 0; i < id_count; ++i) {
        out = codec::WriteVarint32Wide(out, node_ids[i]);
      }
      out = codec::WriteVarint32Wide(out, static_cast<uint32_t>(count_count));
      // Counts are mostly small: a branch on the one-byte form predicts
      // well and saves work.
      for (size_t i = 0; i < count_count; ++i) {
        const uint32_t c = node_counts[i];
        if (c <= codec::kMaxSingleByte) {
          *out++ = static_cast<uint8_t>(c);
        } else {
          out = codec::WriteVarint32Wide(out, c);
        }
      }
    } else {
      *out++ = 1;
      out = codec::WriteVarint32(out, totals[v]);
      out = codec::WriteVarint64(out, id_count);
      out = codec::WriteVarint32Run(out, end, node_ids, id_count);
      out = codec::WriteVarint64(out, count_count);
      out = codec::WriteVarint32Run(out, end, node_counts, count_count);
    }
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
  // While every node has as many counts as ids, the count offsets equal
  // the id offsets and are not stored; they are filled in from the first
  // node whose lists differ.
  std::vector<Offset> count_off;
  bool paired = true;
  memory::ListBuffer ids;
  memory::ListBuffer counts;
  const uint8_t* q = p;
  for (uint32_t v = 0; v < n; ++v) {
    if (q == limit) return codec::Fail(err, DecodeError::UnexpectedEnd(1));
    const uint8_t tag = *q++;
    Offset id_end = id_off[v];
    Offset count_end = paired ? id_off[v] : count_off[v];
    if (tag == 1) {
      present[v] = 1;
      if (!codec::ReadU32Fast(q, limit, totals[v], err) ||
          !ReadList(q, limit, ids, id_end, err) ||
          !ReadList(q, limit, counts, count_end, err)) {
        return false;
      }
    } else if (tag != 0) {
      return codec::Fail(err, DecodeError::UnexpectedVariant(
                                  codec::kOptionalPayloadTypeName, tag));
    }
    id_off[v + 1] = id_end;
    if (paired && count_end != id_end) {
      paired = false;
      count_off.assign(id_off.begin(), id_off.begin() + v + 1);
      count_off.resize(room + 1);
    }
    if (!paired) count_off[v + 1] = count_end;
  }
  out = PayloadTable::FromArrays(std::move(present), std::move(totals),
                                 std::move(id_off), ids.ToVector(),
                                 std::move(count_off), counts.ToVector());
  p = q;
  return true;
}

}  // namespace quillomar
