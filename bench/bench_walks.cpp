// The term walks side by side in one process: the automaton walk from the
// root and the forward-backward walk, on the same index and queries,
// alternating query by query so that a noisy machine hurts both alike.
// Every answer is compared; a difference ends the run with status 1.
//
//   bench_walks WORDS_FILE [QUERIES] [SEED]
//
// WORDS_FILE: one term per line (UTF-8). Queries: an indexed term after k
// random edits (insertion, deletion or substitution of a letter that occurs
// in the list) for k = 1, 2; searched at bound k. Prints the time to load
// the index and to derive the reversed trie, the derived memory, and per
// bound and walk the median and 99th percentile per query, by query length
// group as well.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/index/search_index.hpp"
#include "core/matcher/automaton_walk.hpp"
#include "core/matcher/code_points.hpp"
#include "core/matcher/forward_backward_walk.hpp"

namespace q = quillomar;

using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

// A breadth-first trie of the sorted, distinct words (children in code
// point order): child slot s holds node s + 1.
q::Trie BreadthFirst(const std::vector<std::vector<uint32_t>>& words) {
  std::vector<std::map<uint32_t, uint32_t>> kids(1);
  std::vector<uint32_t> labels{0};
  std::vector<uint8_t> terminal{0};
  for (const auto& w : words) {
    uint32_t v = 0;
    for (uint32_t ch : w) {
      auto it = kids[v].find(ch);
      if (it == kids[v].end()) {
        kids.emplace_back();
        labels.push_back(ch);
        terminal.push_back(0);
        it = kids[v].emplace(ch, labels.size() - 1).first;
      }
      v = it->second;
    }
    if (v != 0) terminal[v] = 1;
  }
  std::vector<uint32_t> order{0};
  std::vector<uint32_t> new_id(labels.size());
  for (size_t i = 0; i < order.size(); ++i) {
    for (auto& [ch, c] : kids[order[i]]) order.push_back(c);
  }
  for (size_t i = 0; i < order.size(); ++i) new_id[order[i]] = i;
  q::Trie t;
  for (uint32_t old : order) {
    t.node_shifts.push_back(t.child_transitions.size());
    t.child_labels.push_back(labels[old]);
    for (auto& [ch, c] : kids[old]) t.child_transitions.push_back(new_id[c]);
    t.is_terminal.push_back(terminal[old]);
    t.payloads.AppendAbsent();
  }
  t.payloads.Seal();
  return t;
}

using Records = std::vector<std::pair<uint32_t, uint32_t>>;

template <uint32_t kBound>
Records FromRoot(const q::SearchIndex& index, const std::vector<uint32_t>& qp) {
  Records out;
  auto sink = [&](uint32_t node, uint32_t d, std::span<const uint32_t>) {
    out.emplace_back(node, d);
  };
  q::AutomatonWalk<kBound, true>(index, qp, UINT64_MAX, sink);
  return out;
}

template <uint32_t kBound>
Records ForwardBackward(const q::SearchIndex& index,
                        const std::vector<uint32_t>& qp) {
  Records out;
  auto sink = [&](uint32_t node, uint32_t d, std::span<const uint32_t>) {
    out.emplace_back(node, d);
  };
  q::ForwardBackwardWalk<kBound, true>(index, *index.forward_backward(), qp,
                                       UINT64_MAX, sink);
  return out;
}

struct Times {
  std::vector<double> root, both_ends;
};

double Quantile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * v.size()))];
}

template <uint32_t kBound>
bool Run(const q::SearchIndex& index,
         const std::vector<std::vector<uint32_t>>& queries) {
  std::map<std::string, Times> by_group;
  for (const auto& qp : queries) {
    if (!q::ForwardBackwardWalkFits(index, qp.size(), kBound)) continue;
    const auto a = Clock::now();
    const Records r1 = FromRoot<kBound>(index, qp);
    const auto b = Clock::now();
    const Records r2 = ForwardBackward<kBound>(index, qp);
    const auto c = Clock::now();
    if (r1 != r2) {
      std::fprintf(stderr, "k=%u: the walks disagree (%zu vs %zu):", kBound,
                   r1.size(), r2.size());
      for (uint32_t c : qp) std::fprintf(stderr, " %u", c);
      for (auto& [a, b] : r1) std::fprintf(stderr, " [%u %u]", a, b);
      std::fprintf(stderr, " |");
      for (auto& [a, b] : r2) std::fprintf(stderr, " [%u %u]", a, b);
      std::fprintf(stderr, "\n");
      return false;
    }
    const size_t n = qp.size();
    const std::string group = "n=" + std::to_string(std::min<size_t>(n, 12));
    for (const std::string& g : {std::string("all"), group}) {
      by_group[g].root.push_back(Seconds(a, b) * 1e6);
      by_group[g].both_ends.push_back(Seconds(b, c) * 1e6);
    }
  }
  for (auto& [g, t] : by_group) {
    const double m1 = Quantile(t.root, 0.5), m2 = Quantile(t.both_ends, 0.5);
    const double p1 = Quantile(t.root, 0.99), p2 = Quantile(t.both_ends, 0.99);
    std::printf(
        "k=%u %-6s %6zu queries  from root: median %7.2f us p99 %8.2f us  "
        "forward-backward: median %7.2f us p99 %8.2f us  (%.2fx, p99 %.2fx)\n",
        kBound, g.c_str(), t.root.size(), m1, p1, m2, p2, m1 / m2, p1 / p2);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_walks WORDS_FILE [QUERIES] [SEED]\n");
    return 2;
  }
  const size_t count = argc > 2 ? std::stoul(argv[2]) : 2000;
  const unsigned seed = argc > 3 ? std::stoul(argv[3]) : 1;
  std::ifstream in(argv[1]);
  std::vector<std::vector<uint32_t>> words;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty()) words.push_back(q::CodePoints(line));
  }
  std::sort(words.begin(), words.end());
  words.erase(std::unique(words.begin(), words.end()), words.end());
  std::vector<uint32_t> alphabet;
  for (const auto& w : words)
    alphabet.insert(alphabet.end(), w.begin(), w.end());
  std::sort(alphabet.begin(), alphabet.end());
  alphabet.erase(std::unique(alphabet.begin(), alphabet.end()), alphabet.end());

  const auto t0 = Clock::now();
  q::SearchIndex index(BreadthFirst(words));
  const auto t1 = Clock::now();
  const q::ForwardBackwardData* data = index.forward_backward();
  const auto t2 = Clock::now();
  std::printf(
      "%zu terms, %zu nodes: index %.3f s, then reversed trie (%zu nodes) "
      "%.3f s; derived data %.1f MB\n",
      words.size(), index.trie().node_count(), Seconds(t0, t1),
      data != nullptr ? data->reversed.node_count() : 0, Seconds(t1, t2),
      index.derived_bytes() / 1e6);
  if (data == nullptr) return 1;

  std::mt19937 rng(seed);
  auto pick = [&](size_t n) {
    return std::uniform_int_distribution<size_t>(0, n - 1)(rng);
  };
  for (uint32_t k = 1; k <= 2; ++k) {
    std::vector<std::vector<uint32_t>> queries;
    while (queries.size() < count) {
      std::vector<uint32_t> w = words[pick(words.size())];
      for (uint32_t e = 0; e < k; ++e) {
        const size_t i = pick(w.size() + 1);
        const int op = static_cast<int>(pick(3));
        if (op == 0) {
          w.insert(w.begin() + i, alphabet[pick(alphabet.size())]);
        } else if (i < w.size()) {
          if (op == 1) {
            w.erase(w.begin() + i);
          } else {
            w[i] = alphabet[pick(alphabet.size())];
          }
        }
      }
      queries.push_back(w);
    }
    if (!(k == 1 ? Run<1>(index, queries) : Run<2>(index, queries))) return 1;
  }
  return 0;
}
