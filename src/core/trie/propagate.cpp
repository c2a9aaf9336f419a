#include "core/trie/propagate.hpp"

#include <algorithm>
#include <cassert>
#include <span>
#include <vector>

#include "core/panic.hpp"
#include "core/payload/merge.hpp"
#include "core/trie/soundness.hpp"

namespace quillomar {
namespace {

struct List {
  std::span<const uint32_t> ids;
  std::span<const uint32_t> counts;
};

// Node v's payload as supplied (absent = empty).
// REQUIRES: v < in.size().
List Supplied(const PayloadTable& in, size_t v) {
  if (!in.present(v)) return {};
  List l{in.video_ids(v), in.video_counts(v)};
  assert(l.counts.size() >= l.ids.size());  // only as many counts are read
  return l;
}

uint32_t SuppliedTotal(const PayloadTable& in, size_t v) {
  return in.present(v) ? in.total_count(v) : 0;
}

}  // namespace

void propagate(Trie& t, uint32_t top_n) {
  const size_t n = t.node_count();
  const PayloadTable& in = t.payloads;
  const std::vector<uint32_t>& shifts = t.node_shifts;
  const std::vector<uint32_t>& slots = t.child_transitions;
  assert(!FirstShapeFault(t, in.size()).has_value());

  // Results are computed in descending node order into flat scratch lists;
  // node v's result is res_ids/res_counts[begin, begin + len) of res[v].
  // A node whose result equals a finished child's (no own entries, that one
  // child) shares the child's range instead of copying it. That holds only
  // while the child's stored list is in the order its stored counts give:
  // entries ordered by true sums above 4294967295 may all be stored as
  // 4294967295, and re-combining them orders those by video number.
  struct Result {
    uint32_t begin;
    uint32_t len;
    bool reorders;  // stored list not in the order its stored counts give
  };
  std::vector<uint32_t> total(n);
  std::vector<Result> res(n);
  std::vector<uint32_t> res_ids;
  std::vector<uint32_t> res_counts;
  if (top_n > 0) {
    // A first guess; the lists grow as subtrees are folded in.
    res_ids.reserve(in.total_ids() + n);
    res_counts.reserve(in.total_ids() + n);
  }
  std::vector<uint32_t> kids;  // node k's children other than k itself
  PayloadMerger merger;

  for (size_t k = n; k-- > 0;) {
    const uint32_t start = shifts[k];
    const uint32_t end = SlotEnd(t, k);
    kids.clear();
    if (start < end) {
      assert(end <= slots.size());
      for (uint32_t s = start; s < end; ++s) {
        const uint32_t c = slots[s];
        if (c == k) continue;  // k's own slot is empty while k is processed
        assert(c < n);
        kids.push_back(c);
      }
    }

    uint64_t sum = SuppliedTotal(in, k);
    for (uint32_t c : kids) sum += c > k ? total[c] : SuppliedTotal(in, c);
    total[k] = SaturateU32(sum);

    const List own = Supplied(in, k);
    if (top_n == 0) continue;  // every list ends up empty
    if (kids.empty() && own.ids.size() <= 1) {
      // Nothing to combine or order.
      res[k] = {static_cast<uint32_t>(res_ids.size()),
                static_cast<uint32_t>(own.ids.size()), false};
      if (!own.ids.empty()) {
        if (res_ids.size() >= UINT32_MAX) PanicCapacityOverflow();
        res_ids.push_back(own.ids[0]);
        res_counts.push_back(own.counts[0]);
      }
      continue;
    }
    if (own.ids.empty() && kids.size() == 1 && kids[0] > k &&
        !res[kids[0]].reorders) {
      res[k] = res[kids[0]];
      continue;
    }
    merger.Reset();
    merger.Add(own.ids, own.counts);
    for (uint32_t c : kids) {
      if (c > k) {
        const Result& r = res[c];
        merger.Add(
            std::span<const uint32_t>(res_ids.data() + r.begin, r.len),
            std::span<const uint32_t>(res_counts.data() + r.begin, r.len));
      } else {
        const List l = Supplied(in, c);
        merger.Add(l.ids, l.counts);
      }
    }
    const size_t at = res_ids.size();
    const size_t kept = merger.Finish(top_n, res_ids, res_counts);
    if (res_ids.size() >= UINT32_MAX) PanicCapacityOverflow();
    // Sorted largest first, so saturated entries lead the list.
    res[k] = {static_cast<uint32_t>(at), static_cast<uint32_t>(kept),
              kept >= 2 && res_counts[at + 1] == UINT32_MAX};
  }

  // Lay the results out in node order.
  std::vector<PayloadTable::Offset> offsets(n + 1);
  size_t total_entries = 0;
  for (size_t v = 0; v < n; ++v) {
    total_entries += res[v].len;
    if (total_entries > UINT32_MAX) PanicCapacityOverflow();
    offsets[v + 1] = static_cast<PayloadTable::Offset>(total_entries);
  }
  std::vector<uint32_t> ids(total_entries);
  std::vector<uint32_t> counts(total_entries);
  for (size_t v = 0; v < n; ++v) {
    const uint32_t* from_ids = res_ids.data() + res[v].begin;
    const uint32_t* from_counts = res_counts.data() + res[v].begin;
    uint32_t* to_ids = ids.data() + offsets[v];
    uint32_t* to_counts = counts.data() + offsets[v];
    // Lists are short: a plain loop beats a library call per node.
    for (uint32_t i = 0; i < res[v].len; ++i) {
      to_ids[i] = from_ids[i];
      to_counts[i] = from_counts[i];
    }
  }
  std::vector<PayloadTable::Offset> count_offsets(offsets);
  t.payloads = PayloadTable::FromArrays(
      std::vector<uint8_t>(n, 1), std::move(total), std::move(offsets),
      std::move(ids), std::move(count_offsets), std::move(counts));
}

}  // namespace quillomar
