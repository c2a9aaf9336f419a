#include "core/trie/trie_codec.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "core/codec/reader.hpp"
#include "core/codec/utf8.hpp"
#include "core/codec/varint.hpp"
#include "core/panic.hpp"
#include "core/payload/payload_codec.hpp"

namespace quillomar {
namespace {

using codec::DecodeError;

size_t U32SequenceSize(const std::vector<uint32_t>& values) {
  return codec::VarintSize64(values.size()) + codec::SumVarintSize32(values);
}

size_t LabelSequenceSize(const std::vector<uint32_t>& labels) {
  const uint32_t* c = labels.data();
  const size_t extra =
      codec::BlockSum32<size_t{1} << 30>(labels.size(), [c](size_t i) {
        return static_cast<uint32_t>(codec::Utf8Size(c[i]) - 1);
      });
  return codec::VarintSize64(labels.size()) + labels.size() + extra;
}

uint8_t* WriteU32Sequence(uint8_t* out, const uint8_t* end,
                          const std::vector<uint32_t>& values) {
  out = codec::WriteVarint64(out, values.size());
  return codec::WriteVarint32Run(out, end, values.data(), values.size());
}

uint8_t* WriteLabelSequence(uint8_t* out, const std::vector<uint32_t>& labels) {
  out = codec::WriteVarint64(out, labels.size());
  for (uint32_t c : labels) out = codec::WriteUtf8(out, c);
  return out;
}

size_t BytesLeft(const uint8_t* p, const uint8_t* limit) {
  return static_cast<size_t>(limit - p);
}

// The sequence readers below size their storage to min(count, bytes left /
// element minimum). An element is stored only after it was read whole, and
// the bytes run out before more elements than that could be read, so a
// count larger than the input can hold ends in UnexpectedEnd without any
// store beyond the storage.

template <class ReadOne>
bool ReadSequence(const uint8_t*& p, const uint8_t* limit,
                  std::vector<uint32_t>& out, DecodeError& err,
                  ReadOne read_one) {
  uint32_t k;
  if (!codec::ReadCount(p, limit, k, err)) return false;
  out.resize(std::min<size_t>(k, BytesLeft(p, limit)));
  uint32_t* dst = out.data();
  const uint8_t* q = p;
  for (uint32_t i = 0; i < k; ++i) {
    // Read into a local first: past the reserved room (a count larger than
    // the bytes left) the read fails before anything would be stored.
    uint32_t v;
    if (!read_one(q, limit, v, err)) return false;
    dst[i] = v;
  }
  p = q;
  return true;
}

bool ReadU32Sequence(const uint8_t*& p, const uint8_t* limit,
                     std::vector<uint32_t>& out, DecodeError& err) {
  return ReadSequence(
      p, limit, out, err,
      [](const uint8_t*& q, const uint8_t* end, uint32_t& v, DecodeError& e) {
        return codec::ReadU32Fast(q, end, v, e);
      });
}

bool ReadLabelSequence(const uint8_t*& p, const uint8_t* limit,
                       std::vector<uint32_t>& out, DecodeError& err) {
  return ReadSequence(
      p, limit, out, err,
      [](const uint8_t*& q, const uint8_t* end, uint32_t& c, DecodeError& e) {
        return codec::ReadCodePoint(q, end, c, e);
      });
}

bool ReadUuidSequence(const uint8_t*& p, const uint8_t* limit,
                      std::vector<Uuid>& out, DecodeError& err) {
  uint32_t k;
  if (!codec::ReadCount(p, limit, k, err)) return false;
  const size_t whole = std::min<size_t>(k, BytesLeft(p, limit) / 16);
  out.resize(whole);
  if (whole > 0) std::memcpy(out.data(), p, whole * 16);
  if (whole < k) {
    const uint8_t* q = p + whole * 16;
    Uuid unused;
    return codec::ReadBytes16(q, limit, unused.data(), err);  // fails
  }
  p += whole * 16;
  return true;
}

bool ReadBoolSequence(const uint8_t*& p, const uint8_t* limit,
                      std::vector<uint8_t>& out, DecodeError& err) {
  uint32_t k;
  if (!codec::ReadCount(p, limit, k, err)) return false;
  const size_t available = std::min<size_t>(k, BytesLeft(p, limit));
  // Find the first bad byte with a branch-free scan; it is reported only if
  // it comes before the end of the input.
  uint8_t any_bad = 0;
  for (size_t i = 0; i < available; ++i) any_bad |= p[i] & 0xFE;
  if (any_bad != 0) {
    for (size_t i = 0; i < available; ++i) {
      if (p[i] > 1) {
        return codec::Fail(err, DecodeError::InvalidBooleanValue(p[i]));
      }
    }
  }
  if (available < k) return codec::Fail(err, DecodeError::UnexpectedEnd(1));
  out.assign(p, p + k);
  p += k;
  return true;
}

bool ReadIdMode(const uint8_t*& p, const uint8_t* limit, IdMode& out,
                DecodeError& err) {
  const uint8_t* q = p;
  uint32_t index;
  if (!codec::ReadU32(q, limit, index, err)) return false;
  if (index > 1) {
    return codec::Fail(
        err, DecodeError::UnexpectedVariant(codec::kIdModeTypeName, index));
  }
  out = index == 0 ? IdMode::kUuid : IdMode::kInt32;
  p = q;
  return true;
}

}  // namespace

size_t EncodedSize(const Trie& trie) {
  return U32SequenceSize(trie.node_shifts) +
         LabelSequenceSize(trie.child_labels) +
         U32SequenceSize(trie.child_transitions) +
         PayloadsEncodedSize(trie.payloads) +
         codec::VarintSize64(trie.uuid_ids.size()) + 16 * trie.uuid_ids.size() +
         U32SequenceSize(trie.int32_ids) + 1 +
         codec::VarintSize64(trie.is_terminal.size()) + trie.is_terminal.size();
}

void Encode(const Trie& trie, std::span<uint8_t> out) {
  uint8_t* p = out.data();
  const uint8_t* const end = out.data() + out.size();
  p = WriteU32Sequence(p, end, trie.node_shifts);
  p = WriteLabelSequence(p, trie.child_labels);
  p = WriteU32Sequence(p, end, trie.child_transitions);
  p = EncodePayloads(trie.payloads, p, end);
  p = codec::WriteVarint64(p, trie.uuid_ids.size());
  if (!trie.uuid_ids.empty()) {
    std::memcpy(p, trie.uuid_ids.data(), 16 * trie.uuid_ids.size());
    p += 16 * trie.uuid_ids.size();
  }
  p = WriteU32Sequence(p, end, trie.int32_ids);
  *p++ = trie.id_mode == IdMode::kUuid ? 0 : 1;
  p = codec::WriteVarint64(p, trie.is_terminal.size());
  if (!trie.is_terminal.empty()) {
    std::memcpy(p, trie.is_terminal.data(), trie.is_terminal.size());
    p += trie.is_terminal.size();
  }
  // Sizing and writing walk the same fields by the same rules; a mismatch
  // is a defect in this file, never a property of the input.
  if (p != end) {
    throw Panic("index encoding wrote a different size than it computed");
  }
}

namespace {

// Decode's fields read from `p`, which is left after the last one.
bool DecodeFrom(const uint8_t*& p, const uint8_t* limit, Trie& trie,
                DecodeError& err) {
  return ReadU32Sequence(p, limit, trie.node_shifts, err) &&
         ReadLabelSequence(p, limit, trie.child_labels, err) &&
         ReadU32Sequence(p, limit, trie.child_transitions, err) &&
         DecodePayloads(p, limit, trie.payloads, err) &&
         ReadUuidSequence(p, limit, trie.uuid_ids, err) &&
         ReadU32Sequence(p, limit, trie.int32_ids, err) &&
         ReadIdMode(p, limit, trie.id_mode, err) &&
         ReadBoolSequence(p, limit, trie.is_terminal, err);
}

}  // namespace

std::variant<Trie, DecodeError> Decode(std::span<const uint8_t> bytes) {
  const uint8_t* p = bytes.data();
  Trie trie;
  DecodeError err;
  if (DecodeFrom(p, p + bytes.size(), trie, err)) return trie;
  return err;
}

std::variant<size_t, DecodeError> DecodedLength(
    std::span<const uint8_t> bytes) {
  const uint8_t* p = bytes.data();
  Trie trie;
  DecodeError err;
  if (DecodeFrom(p, p + bytes.size(), trie, err)) {
    return static_cast<size_t>(p - bytes.data());
  }
  return err;
}

}  // namespace quillomar
