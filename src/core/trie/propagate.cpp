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

// True when combining `l` alone would change nothing but the cut: it is
// already in rank order (count descending, then id ascending) with no id
// twice. Built indexes hand every term's list over like that. Checked only
// for lists short enough that the pairwise check costs less than combining.
bool AlreadyRanked(List l) {
  constexpr size_t kLongest = 16;
  const size_t n = l.ids.size();
  if (n > kLongest) return false;
  for (size_t i = 1; i < n; ++i) {
    const uint32_t a = l.counts[i - 1];
    const uint32_t b = l.counts[i];
    if (a < b || (a == b && l.ids[i - 1] >= l.ids[i])) return false;
  }
  // Within equal counts the ids ascend; across them an id may still repeat.
  for (size_t i = 1; i < n; ++i) {
    for (size_t j = 0; j < i; ++j) {
      if (l.ids[j] == l.ids[i]) return false;
    }
  }
  return true;
}

}  // namespace

void propagate(Trie& t, uint32_t top_n) {
  const size_t n = t.node_count();
  PayloadTable& in = t.payloads;
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
  std::vector<Result> res(top_n > 0 ? n : 0);
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

    // Totals are rewritten in place: node k's supplied total is read only by
    // k itself and by parents numbered after k, all processed before it is
    // overwritten; parents numbered before k want the finished one.
    uint64_t sum = SuppliedTotal(in, k);
    for (uint32_t c : kids) {
      sum += c > k ? in.total_count(c) : SuppliedTotal(in, c);
    }
    in.mutable_total_count(k) = SaturateU32(sum);

    const List own = Supplied(in, k);
    if (top_n == 0) continue;  // every list ends up empty
    if (kids.empty() && AlreadyRanked(own)) {
      // Nothing to combine or order: the list as supplied, cut. Its counts
      // are single ones, so the stored order is the one they give.
      const size_t kept = std::min<size_t>(own.ids.size(), top_n);
      if (res_ids.size() + kept >= UINT32_MAX) PanicCapacityOverflow();
      res[k] = {static_cast<uint32_t>(res_ids.size()),
                static_cast<uint32_t>(kept), false};
      res_ids.insert(res_ids.end(), own.ids.begin(), own.ids.begin() + kept);
      res_counts.insert(res_counts.end(), own.counts.begin(),
                        own.counts.begin() + kept);
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

  // Lay the results out in node order, over the supplied table's storage
  // where the sizes allow: its lists are no longer read.
  PayloadTable::Arrays out = in.Release();
  std::vector<uint32_t>().swap(out.video_ids);
  std::vector<uint32_t>().swap(out.video_counts);
  std::vector<PayloadTable::Offset>().swap(out.count_offsets);
  std::vector<PayloadTable::Offset>& offsets = out.id_offsets;
  offsets.assign(n + 1, 0);
  size_t total_entries = 0;
  for (size_t v = 0; v < res.size(); ++v) {
    total_entries += res[v].len;
    if (total_entries > UINT32_MAX) PanicCapacityOverflow();
    offsets[v + 1] = static_cast<PayloadTable::Offset>(total_entries);
  }
  std::vector<uint32_t> ids(total_entries);
  std::vector<uint32_t> counts(total_entries);
  for (size_t v = 0; v < res.size(); ++v) {
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
  out.present.assign(n, 1);
  // Every list has as many counts as ids: no count offsets of their own.
  t.payloads = PayloadTable::FromArrays(
      std::move(out.present), std::move(out.total_counts), std::move(offsets),
      std::move(ids), {}, std::move(counts));
}

}  // namespace quillomar
