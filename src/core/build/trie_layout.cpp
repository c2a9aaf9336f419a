#include "core/build/trie_layout.hpp"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

#include "core/build/term_rule.hpp"
#include "core/codec/utf8.hpp"
#include "core/panic.hpp"
#include "core/payload/merge.hpp"
#include "core/trie/propagate.hpp"

namespace quillomar::build {
namespace {

// The present terms in code point order (which is UTF-8 byte order), with
// their bytes copied in that order so that the passes below read memory
// front to back.
struct SortedTerms {
  std::vector<uint32_t> numbers;
  std::vector<char> bytes;
  std::vector<uint64_t> starts;  // numbers.size() + 1

  size_t size() const { return numbers.size(); }
  std::string_view at(size_t i) const {
    return {bytes.data() + starts[i],
            static_cast<size_t>(starts[i + 1] - starts[i])};
  }
};

SortedTerms SortTerms(const Aggregate& records) {
  const TermTable& terms = records.terms();
  // Sorting compares 16-byte prefixes held in the keys, reaching into the
  // term arena only for terms that share them.
  struct Key {
    uint64_t prefix[2];  // first 16 bytes, big-endian, zero-padded
    uint32_t number;
  };
  std::vector<Key> keys;
  keys.reserve(records.term_count());
  for (uint32_t t = 0; t < terms.size(); ++t) {
    if (!records.is_present(t)) continue;
    const std::string_view s = terms.at(t);
    Key key{{0, 0}, t};
    for (size_t i = 0; i < 16; ++i) {
      key.prefix[i / 8] =
          key.prefix[i / 8] << 8 |
          (i < s.size() ? static_cast<unsigned char>(s[i]) : 0u);
    }
    keys.push_back(key);
  }
  std::sort(keys.begin(), keys.end(), [&terms](const Key& a, const Key& b) {
    if (a.prefix[0] != b.prefix[0]) return a.prefix[0] < b.prefix[0];
    if (a.prefix[1] != b.prefix[1]) return a.prefix[1] < b.prefix[1];
    const std::string_view x = terms.at(a.number);
    const std::string_view y = terms.at(b.number);
    // Equal prefixes: both are at least 16 bytes long, or equal terms.
    return x.size() > 16 && y.size() > 16 ? x.substr(16) < y.substr(16) : x < y;
  });
  SortedTerms out;
  out.numbers.resize(keys.size());
  out.starts.resize(keys.size() + 1, 0);
  size_t total = 0;
  for (size_t i = 0; i < keys.size(); ++i) {
    out.numbers[i] = keys[i].number;
    total += terms.at(keys[i].number).size();
    out.starts[i + 1] = total;
  }
  out.bytes.resize(total);
  for (size_t i = 0; i < keys.size(); ++i) {
    const std::string_view t = terms.at(keys[i].number);
    if (!t.empty())
      std::memcpy(out.bytes.data() + out.starts[i], t.data(), t.size());
  }
  return out;
}

size_t CheckedU32(size_t v) {
  if (v >= UINT32_MAX) PanicCapacityOverflow();
  return v;
}

struct Shape {
  std::vector<uint32_t> term_nodes;  // per sorted term
};

// Fills node_shifts, child_labels and child_transitions of `t`.
Shape LayOutNodes(const SortedTerms& sorted, Trie& t) {
  const size_t n = sorted.size();
  // Per term: where its new nodes start (in bytes and in code points) and
  // its length in code points. A sorted successor is never a prefix of its
  // predecessor, so every term adds at least one node.
  std::vector<uint32_t> common_bytes(n), common_points(n), length(n);
  size_t max_depth = 0;
  size_t node_count = 1;
  for (size_t i = 0; i < n; ++i) {
    const std::string_view s = sorted.at(i);
    size_t b = 0;
    if (i > 0) {
      const std::string_view prev = sorted.at(i - 1);
      const size_t limit = std::min(prev.size(), s.size());
      while (b < limit && prev[b] == s[b]) ++b;
      // Back to the start of the code point the two first differ in.
      while (b > 0 && (static_cast<unsigned char>(s[b]) & 0xC0) == 0x80) --b;
    }
    const size_t points_before = codec::CountCodePoints(s.substr(0, b));
    const size_t points = points_before + codec::CountCodePoints(s.substr(b));
    common_bytes[i] = static_cast<uint32_t>(b);
    common_points[i] = static_cast<uint32_t>(points_before);
    length[i] = static_cast<uint32_t>(CheckedU32(points));
    max_depth = std::max(max_depth, points);
    node_count = CheckedU32(node_count + points - points_before);
  }
  // First node number of each depth.
  std::vector<uint32_t> next(max_depth + 2, 0);
  for (size_t i = 0; i < n; ++i) {
    ++next[common_points[i] + 1];
    --next[length[i] + 1];
  }
  {
    uint32_t running = 0;  // nodes at the depth
    uint32_t start = 1;
    for (size_t d = 1; d <= max_depth; ++d) {
      running += next[d];
      next[d] = start;
      start += running;
    }
  }
  std::vector<uint32_t> last_at(max_depth + 1, 0);  // latest node per depth
  // node_shifts first counts each node's children, then turns into the
  // running sum of those counts.
  t.node_shifts.assign(node_count, 0);
  t.child_labels.assign(node_count, 0);
  Shape shape;
  shape.term_nodes.resize(n);
  for (size_t i = 0; i < n; ++i) {
    const std::string_view s = sorted.at(i);
    const auto* at =
        reinterpret_cast<const uint8_t*>(s.data()) + common_bytes[i];
    const uint32_t c = common_points[i];
    uint32_t parent = c == 0 ? 0 : last_at[c];
    for (uint32_t d = c + 1; d <= length[i]; ++d) {
      const uint32_t node = next[d]++;
      t.child_labels[node] = codec::NextCodePointOfValid(at);
      ++t.node_shifts[parent];
      last_at[d] = node;
      parent = node;
    }
    shape.term_nodes[i] = parent;
  }
  // A node's first child slot is the number of children of the nodes
  // before it: the layout is breadth-first (IsBreadthFirst).
  uint32_t slot = 0;
  for (size_t v = 0; v < node_count; ++v) {
    const uint32_t children = t.node_shifts[v];
    t.node_shifts[v] = slot;
    slot += children;
  }
  t.child_transitions.resize(node_count - 1);
  for (size_t s = 0; s + 1 < node_count; ++s) {
    t.child_transitions[s] = static_cast<uint32_t>(s + 1);
  }
  return shape;
}

// Fills payloads and is_terminal from the counted pairs.
void LayOutPayloads(const Aggregate& records, const SortedTerms& sorted,
                    const Shape& shape, Trie& t) {
  const size_t node_count = t.child_labels.size();
  const size_t term_total = records.terms().size();
  // Group the pairs by term: (inverted count << 32 | video) sorts by count
  // descending, then video number ascending.
  std::vector<uint32_t> begin(term_total + 1, 0);
  const std::span<const PairTable::Slot> slots = records.pairs().slots();
  for (const PairTable::Slot& s : slots) {
    if (s.term != PairTable::kEmpty) ++begin[s.term + 1];
  }
  for (size_t k = 0; k < term_total; ++k) begin[k + 1] += begin[k];
  std::vector<uint64_t> entries(records.pairs().size());
  {
    std::vector<uint32_t> fill(begin.begin(), begin.end() - 1);
    for (const PairTable::Slot& s : slots) {
      if (s.term == PairTable::kEmpty) continue;
      entries[fill[s.term]++] = uint64_t{~s.sum} << 32 | s.video;
    }
  }

  // totals first holds the term of each node (kNoTerm for none); each is
  // read just before the node's total replaces it.
  constexpr uint32_t kNoTerm = UINT32_MAX;
  std::vector<uint32_t> totals(node_count, kNoTerm);
  for (size_t i = 0; i < sorted.size(); ++i) {
    totals[shape.term_nodes[i]] = sorted.numbers[i];
  }
  std::vector<uint8_t> present(node_count, 0);
  std::vector<PayloadTable::Offset> offsets(node_count + 1, 0);
  std::vector<uint32_t> ids(entries.size());
  std::vector<uint32_t> counts(entries.size());
  size_t out = 0;
  for (size_t v = 0; v < node_count; ++v) {
    const uint32_t term = totals[v];
    totals[v] = 0;
    if (term != kNoTerm) {
      present[v] = 1;
      uint64_t* first = entries.data() + begin[term];
      uint64_t* last = entries.data() + begin[term + 1];
      if (last - first > 1) std::sort(first, last);
      uint64_t sum = 0;
      for (uint64_t* e = first; e != last; ++e, ++out) {
        const uint32_t count = ~static_cast<uint32_t>(*e >> 32);
        ids[out] = static_cast<uint32_t>(*e);
        counts[out] = count;
        sum += count;
      }
      totals[v] =
          records.has_total(term) ? records.total(term) : SaturateU32(sum);
    }
    offsets[v + 1] = static_cast<PayloadTable::Offset>(out);
  }
  // Every node has as many counts as ids: no count offsets of their own.
  t.is_terminal = present;
  t.payloads = PayloadTable::FromArrays(std::move(present), std::move(totals),
                                        std::move(offsets), std::move(ids), {},
                                        std::move(counts));
}

}  // namespace

Trie LayOut(const Aggregate& records) {
  Trie t;
  const SortedTerms sorted = SortTerms(records);
  const Shape shape = LayOutNodes(sorted, t);
  LayOutPayloads(records, sorted, shape, t);
  // A build without records has no identifiers; its table is a UUID one.
  t.id_mode = records.id_kind().value_or(IdMode::kUuid);
  if (t.id_mode == IdMode::kInt32) {
    t.int32_ids = records.ids().ints();
  } else {
    t.uuid_ids = records.ids().uuids();
  }
  return t;
}

Trie BuildTrie(const Aggregate& records, uint32_t top_n) {
  Trie t = LayOut(records);
  propagate(t, top_n);
  return t;
}

}  // namespace quillomar::build
