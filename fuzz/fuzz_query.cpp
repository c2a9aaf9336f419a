// A fixed, sound index queried with arbitrary code points and arguments.
// Term matching is checked against a plain Levenshtein computation over
// every indexed term, and nothing may throw.
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

#include "core/matcher/node_matching.hpp"
#include "core/matcher/term_matching.hpp"
#include "core/ranking/video_ranking.hpp"
#include "core/search_index.hpp"
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

// A breadth-first numbered trie of kWords with small payloads.
Built Build() {
  std::vector<std::map<uint32_t, uint32_t>> kids(1);
  std::vector<uint32_t> labels{0};
  std::map<uint32_t, std::u32string> terms;
  for (const auto& w : kWords) {
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
    terms[v] = w;
  }
  // Renumber breadth-first so parents come before children.
  std::vector<uint32_t> order{0}, new_id(labels.size());
  for (size_t i = 0; i < order.size(); ++i) {
    for (auto& [ch, c] : kids[order[i]]) order.push_back(c);
  }
  for (size_t i = 0; i < order.size(); ++i) new_id[order[i]] = i;
  q::Trie t;
  for (uint32_t old : order) {
    t.node_shifts.push_back(t.child_transitions.size());
    t.child_labels.push_back(labels[old]);
    for (auto& [ch, c] : kids[old]) t.child_transitions.push_back(new_id[c]);
    const bool terminal = terms.count(old) != 0;
    t.is_terminal.push_back(terminal);
    if (terminal) {
      const uint32_t ids[] = {old % 5, (old * 7) % 5};
      const uint32_t counts[] = {old + 1, 3};
      t.payloads.AppendPresent(old + 4, ids, counts);
    } else {
      t.payloads.AppendAbsent();
    }
  }
  t.payloads.Seal();
  for (uint32_t i = 0; i < 4; ++i) t.int32_ids.push_back(i * 1000);  // 4 < 5
  t.id_mode = q::IdMode::kInt32;
  q::propagate(t, 3);
  std::map<uint32_t, std::u32string> renumbered;
  for (auto& [v, w] : terms) renumbered[new_id[v]] = w;
  return {q::SearchIndex(std::move(t)), renumbered};
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

  std::vector<std::pair<uint32_t, uint32_t>> got;
  auto sink = [&](uint32_t node, uint32_t distance, std::span<const uint32_t>) {
    got.emplace_back(node, distance);
  };
  q::FuzzyMatchTerms(built.index, query, max_dist, limit, sink);

  const uint32_t bound = std::min<uint32_t>(max_dist, 65535);
  std::set<std::pair<uint32_t, uint32_t>> expected;
  for (auto& [node, word] : built.terms) {
    const uint32_t d = Levenshtein(query, word);
    if (d <= bound) expected.emplace(node, d);
  }
  std::set<std::pair<uint32_t, uint32_t>> got_set(got.begin(), got.end());
  if (got_set.size() != got.size()) std::abort();  // recorded twice
  if (!limit) {
    if (got_set != expected) std::abort();
  } else {
    if (got.size() != std::min<size_t>(*limit, expected.size())) std::abort();
    if (!std::includes(expected.begin(), expected.end(), got_set.begin(),
                       got_set.end())) {
      std::abort();
    }
  }

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
