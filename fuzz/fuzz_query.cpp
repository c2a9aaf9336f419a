// A fixed, sound index queried with arbitrary code points and arguments.
// Term matching is checked against a plain Levenshtein computation over
// every indexed term, and nothing may throw.
//
// Small bounds on a breadth-first index take the automaton walk, and term
// searches at bounds 1 and 2 the forward-backward walk; each must give
// exactly what the row walk gives (nodes, distances, order, limit cuts),
// on the fixed index and on a trie spelled by the input itself over letters
// that collide wherever the faster walks group them.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/index/search_index.hpp"
#include "core/matcher/dispatch.hpp"
#include "core/matcher/node_matching.hpp"
#include "core/matcher/term_matching.hpp"
#include "core/ranking/video_ranking.hpp"
#include "core/trie/propagate.hpp"

namespace q = quillomar;

namespace {

const std::vector<std::u32string> kWords = {
    U"a",           U"ab",  U"abc", U"abd",    U"b",
    U"ba",          U"cab", U"cat", U"cart",   U"car",
    U"carts",       U"do",  U"dog", U"door",   U"\U0001F600",
    U"\U0001F600a", U"zz",  U"zzz", U"azbycx", U"bbbbbbbb"};

struct Built {
  q::SearchIndex index;
  std::map<uint32_t, std::u32string> terms;  // terminal node -> its term
};

// A breadth-first numbered trie of `words` (children in code point order),
// so that child slot s holds node s + 1 and parents come before children.
// payload(v, terminal) appends node v's payload, v numbered in insertion
// order; flip(v) turns v's terminal flag over.
template <class Payload, class Flip>
Built BreadthFirst(const std::vector<std::u32string>& words, Payload payload,
                   Flip flip) {
  std::vector<std::map<uint32_t, uint32_t>> kids(1);
  std::vector<uint32_t> labels{0};
  std::map<uint32_t, std::u32string> terms;
  for (const auto& w : words) {
    uint32_t v = 0;
    for (char32_t ch : w) {
      auto it = kids[v].find(ch);
      if (it == kids[v].end()) {
        kids.emplace_back();
        labels.push_back(ch);
        it = kids[v].emplace(ch, labels.size() - 1).first;
      }
      v = it->second;
    }
    if (v != 0) terms[v] = w;
  }
  std::vector<uint32_t> order{0}, new_id(labels.size());
  for (size_t i = 0; i < order.size(); ++i) {
    for (auto& [ch, c] : kids[order[i]]) order.push_back(c);
  }
  for (size_t i = 0; i < order.size(); ++i) new_id[order[i]] = i;
  q::Trie t;
  std::map<uint32_t, std::u32string> renumbered;
  for (uint32_t old : order) {
    t.node_shifts.push_back(t.child_transitions.size());
    t.child_labels.push_back(labels[old]);
    for (auto& [ch, c] : kids[old]) t.child_transitions.push_back(new_id[c]);
    const bool term = terms.count(old) != 0;
    const bool terminal = old != 0 && term != flip(old);
    t.is_terminal.push_back(terminal);
    if (terminal && !flip(old)) renumbered[new_id[old]] = terms[old];
    payload(t, old, terminal);
  }
  t.payloads.Seal();
  return {q::SearchIndex(std::move(t)), renumbered};
}

// kWords with small payloads, a top-3 cut and one identifier too few.
Built Build() {
  auto payload = [](q::Trie& t, uint32_t old, bool terminal) {
    if (terminal) {
      const uint32_t ids[] = {old % 5, (old * 7) % 5};
      const uint32_t counts[] = {old + 1, 3};
      t.payloads.AppendPresent(old + 4, ids, counts);
    } else {
      t.payloads.AppendAbsent();
    }
  };
  Built b = BreadthFirst(kWords, payload, [](uint32_t) { return false; });
  q::Trie t = b.index.trie();
  for (uint32_t i = 0; i < 4; ++i) t.int32_ids.push_back(i * 1000);  // 4 < 5
  t.id_mode = q::IdMode::kInt32;
  q::propagate(t, 3);
  return {q::SearchIndex(std::move(t)), std::move(b.terms)};
}

uint32_t Levenshtein(std::span<const uint32_t> a, const std::u32string& b) {
  std::vector<uint32_t> prev(b.size() + 1), cur(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) prev[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    cur[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      cur[j] = std::min(
          {prev[j - 1] + (a[i - 1] != b[j - 1]), prev[j] + 1, cur[j - 1] + 1});
    }
    std::swap(prev, cur);
  }
  return prev[b.size()];
}

using Records = std::vector<std::pair<uint32_t, uint32_t>>;

// What Walk() records: the fastest walk that fits.
Records Dispatched(const q::SearchIndex& index, std::span<const uint32_t> query,
                   uint32_t max_dist, bool terminal_only,
                   std::optional<uint32_t> limit) {
  Records out;
  auto sink = [&](uint32_t node, uint32_t distance, std::span<const uint32_t>) {
    out.emplace_back(node, distance);
  };
  q::Walk(index, query, max_dist, terminal_only, limit, sink);
  return out;
}

// What the general walk records, with the given access and rows.
template <class Access, class Rows>
Records General(const q::SearchIndex& index, std::span<const uint32_t> query,
                uint32_t max_dist, bool terminal_only,
                std::optional<uint32_t> limit) {
  Records out;
  if (limit == 0u || index.trie().node_count() == 0) return out;
  auto sink = [&](uint32_t node, uint32_t distance, std::span<const uint32_t>) {
    out.emplace_back(node, distance);
  };
  q::RowWalk<Access, Rows>(index, query, q::EffectiveBound(max_dist),
                           terminal_only, limit ? *limit : UINT64_MAX, sink);
  return out;
}

// What the forward-backward walk records (bounds 1 and 2 only).
Records ForwardBackward(const q::SearchIndex& index,
                        const q::ForwardBackwardData& data,
                        std::span<const uint32_t> query, uint32_t bound,
                        std::optional<uint32_t> limit) {
  Records out;
  if (limit == 0u) return out;
  auto sink = [&](uint32_t node, uint32_t distance, std::span<const uint32_t>) {
    out.emplace_back(node, distance);
  };
  const uint64_t cap = limit ? *limit : UINT64_MAX;
  if (bound == 1) {
    q::ForwardBackwardWalk<1, true>(index, data, query, cap, sink);
  } else {
    q::ForwardBackwardWalk<2, true>(index, data, query, cap, sink);
  }
  return out;
}

// Walk() against the row walk with full rows (plain array reads) and, for
// the bounds the automaton walk takes, with band rows (through the search
// records; a band as wide as 2 * 65535 + 1 cells would be too slow here),
// and the automaton walk from the root; terms and nodes alike. Where the
// forward-backward walk fits, it is also held to both directly.
void CheckWalksAgree(const q::SearchIndex& index,
                     std::span<const uint32_t> query, uint32_t max_dist,
                     std::optional<uint32_t> limit) {
  for (bool terminal_only : {true, false}) {
    const Records got =
        Dispatched(index, query, max_dist, terminal_only, limit);
    if (got != General<q::UncheckedAccess, q::FullRows>(index, query, max_dist,
                                                        terminal_only, limit)) {
      std::abort();
    }
    if (!index.records().empty() &&
        q::EffectiveBound(max_dist) <= q::kMaxAutomatonBound &&
        got != General<q::RecordAccess, q::BandRows>(index, query, max_dist,
                                                     terminal_only, limit)) {
      std::abort();
    }
  }
  const uint32_t bound = q::EffectiveBound(max_dist);
  if (!q::ForwardBackwardWalkFits(index, query.size(), bound)) return;
  if (index.trie().node_count() == 0) return;
  const q::ForwardBackwardData* data = index.forward_backward();
  if (data == nullptr) return;
  Records from_root;
  if (limit != 0u) {
    auto sink = [&](uint32_t node, uint32_t distance,
                    std::span<const uint32_t>) {
      from_root.emplace_back(node, distance);
    };
    const uint64_t cap = limit ? *limit : UINT64_MAX;
    if (bound == 1) {
      q::AutomatonWalk<1, true>(index, query, cap, sink);
    } else {
      q::AutomatonWalk<2, true>(index, query, cap, sink);
    }
  }
  const Records both_ends = ForwardBackward(index, *data, query, bound, limit);
  if (both_ends != from_root ||
      both_ends != General<q::UncheckedAccess, q::FullRows>(
                       index, query, max_dist, true, limit)) {
    std::abort();
  }
}

// The input read as a trie and a query over colliding letters: 'a', 'A',
// U+00E1, U+0161, U+01E1, U+0101, U+0181 and U+1F601 share a letter bucket
// (code point mod 32); U+0101, U+0181 and U+1F601 share a slot of the
// query's code point hash, as do U+0161 and U+01E1; ' ' and '@' share
// bucket 0. Byte 0 picks the bound (0 to 2), the limit and whether some
// terminal flags are turned over; then ',' separates the query from the
// words and the words from each other, 0x00 is the hidden label 0 and any
// other byte is one of 16 letters.
void CheckInputTrie(const uint8_t* data, size_t size) {
  static const uint32_t kLetters[16] = {
      'a', 'A',  0xE1, 0x161, 0x1E1, 0x101,    0x181, 0x1F601,
      'b', 0xE2, ' ',  '@',   'c',   0x10FFFF, 'd',   0x281};
  if (size == 0) return;
  const uint32_t bound = data[0] % 3;
  std::optional<uint32_t> limit;
  if ((data[0] >> 2) & 15) limit = (data[0] >> 2) & 15;
  const bool flip = (data[0] >> 6) & 1;
  std::vector<std::u32string> parts(1);
  for (size_t i = 1; i < size && parts.size() <= 64; ++i) {
    if (data[i] == ',') {
      parts.emplace_back();
    } else if (parts.back().size() < 100) {
      parts.back().push_back(data[i] == 0 ? 0 : kLetters[data[i] & 15]);
    }
  }
  std::vector<uint32_t> query(parts[0].begin(), parts[0].end());
  if (query.size() > 72) query.resize(72);
  const std::vector<std::u32string> words(parts.begin() + 1, parts.end());
  const Built built = BreadthFirst(
      words, [](q::Trie& t, uint32_t, bool) { t.payloads.AppendAbsent(); },
      [&](uint32_t v) { return flip && v % 3 == 1; });
  if (built.index.records().empty()) std::abort();  // breadth-first, sound
  CheckWalksAgree(built.index, query, bound, limit);
  CheckWalksAgree(built.index, query, bound, std::nullopt);

  // Terms whose path shows no label 0 are found exactly at their distance.
  std::set<std::pair<uint32_t, uint32_t>> expected;
  for (auto& [node, word] : built.terms) {
    if (word.find(char32_t{0}) != std::u32string::npos) continue;
    const uint32_t d = Levenshtein(query, word);
    if (d <= bound) expected.emplace(node, d);
  }
  const Records got = Dispatched(built.index, query, bound, true, std::nullopt);
  std::set<std::pair<uint32_t, uint32_t>> got_set(got.begin(), got.end());
  if (!flip && got_set != expected) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const Built built = Build();
  FuzzedDataProvider in(data, size);
  const uint32_t max_dist = in.ConsumeBool()
                                ? in.ConsumeIntegralInRange<uint32_t>(0, 4)
                                : in.ConsumeIntegral<uint32_t>();
  std::optional<uint32_t> limit;
  if (in.ConsumeBool()) limit = in.ConsumeIntegralInRange<uint32_t>(0, 30);
  std::optional<bool> prefix;
  if (in.ConsumeBool()) prefix = in.ConsumeBool();
  std::optional<double> min_score;
  if (in.ConsumeBool()) min_score = in.ConsumeFloatingPoint<double>();
  std::vector<uint32_t> query;
  const std::u32string alphabet = U"abcdotrz\U0001F600";
  while (in.remaining_bytes() > 0 && query.size() < 64) {
    const uint8_t b = in.ConsumeIntegral<uint8_t>();
    query.push_back(b < 0xF0 ? alphabet[b % alphabet.size()] : b);
  }

  // A term search reports texts, not nodes: two nodes spelling one term
  // (equal sibling labels) are two matches with the same text.
  using Match = std::pair<std::u32string, uint32_t>;
  std::vector<Match> got;
  auto sink = [&](uint32_t distance, std::span<const uint32_t> path) {
    got.emplace_back(std::u32string(path.begin(), path.end()), distance);
  };
  q::FuzzyMatchTerms(built.index, query, max_dist, limit, sink);

  const uint32_t bound = std::min<uint32_t>(max_dist, 65535);
  std::multiset<Match> expected;
  for (auto& [node, word] : built.terms) {
    const uint32_t d = Levenshtein(query, word);
    if (d <= bound) expected.emplace(word, d);
  }
  const std::multiset<Match> got_set(got.begin(), got.end());
  if (!limit) {
    if (got_set != expected) std::abort();  // also a term recorded twice
  } else {
    if (got.size() != std::min<size_t>(*limit, expected.size())) std::abort();
    if (!std::includes(expected.begin(), expected.end(), got_set.begin(),
                       got_set.end())) {
      std::abort();
    }
  }

  CheckWalksAgree(built.index, query, max_dist, limit);
  CheckInputTrie(data, size);

  q::VideoQuery options;
  options.max_dist = max_dist;
  options.limit = limit;
  options.include_prefix_nodes = prefix;
  options.min_score = min_score;
  const auto ranked = q::RankVideos(built.index, query, options);
  if (limit && ranked.size() > *limit) std::abort();
  for (size_t i = 0; i < ranked.size(); ++i) {
    if (ranked[i].video >= 4) std::abort();  // no identifier: must be dropped
    if (i > 0 && (ranked[i - 1].score < ranked[i].score ||
                  (ranked[i - 1].score == ranked[i].score &&
                   ranked[i - 1].video >= ranked[i].video))) {
      std::abort();
    }
  }
  return 0;
}
