"""A pure-Python model of the fuzzy walk that counts work instead of timing it.

    python bench/peers/walk_model.py --k 2 --queries 100

For the benchmark's queries it counts the trie nodes whose edit-distance row
is computed per query by the plain walk (row-minimum cut-off, and no row for
a child whose label is missing from the query when its parent's minimum
already equals the bound), and how many rows two subtree filters save, while
checking that the matches stay the same. The native walk for bounds up to 2
applies weaker, cheaper forms of both (src/core/matcher/automaton_walk.hpp):

- length: every node keeps the shortest and longest remaining length to a
  term in its subtree; a subtree is not entered when no cell j of the row
  can reach a term whose remaining length fits the unread query q[j:].
- letters: every node keeps the set of letters in its subtree; each letter
  of q[j:] missing from that set costs at least one more edit.

Slow (minutes for k = 2); a planning aid, not a benchmark.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from peers import workload as wl  # noqa: E402
from peers.trie_arrays import build_arrays  # noqa: E402

FAR = 1 << 30


def letter_bit(ch: str) -> int:
    return 1 << (ord(ch) - 97) if "a" <= ch <= "z" else 1 << 26


class Model:
    def __init__(self, words):
        shifts, labels, payloads, transitions = build_arrays(words)
        self.labels = labels
        self.terminal = [p is not None for p in payloads]
        n, e = len(labels), len(transitions)
        # Breadth-first numbering: slot s holds node s + 1.
        self.children = [
            range(shifts[v] + 1, (shifts[v + 1] if v + 1 < n else e) + 1) for v in range(n)
        ]
        self.mask = [0] * n
        self.shortest = [FAR] * n
        self.longest = [-1] * n
        for v in range(n - 1, -1, -1):  # children after parents: bottom-up
            mask, lo, hi = 0, (0 if self.terminal[v] else FAR), (0 if self.terminal[v] else -1)
            for c in self.children[v]:
                mask |= letter_bit(labels[c]) | self.mask[c]
                lo = min(lo, self.shortest[c] + 1)
                hi = max(hi, self.longest[c] + 1)
            self.mask[v], self.shortest[v], self.longest[v] = mask, lo, hi

    def walk(self, q: str, k: int, use_length: bool, use_letters: bool):
        n = len(q)
        bits = [letter_bit(ch) for ch in q]
        rows = found = 0
        stack = [(0, list(range(n + 1)), 0)]
        while stack:
            v, prev, depth = stack.pop()
            tight = min(prev) == k
            for c in self.children[v]:
                label = self.labels[c]
                if tight and label not in q:
                    continue
                rows += 1
                cur = [depth + 1]
                for j in range(1, n + 1):
                    cur.append(min(prev[j - 1] + (label != q[j - 1]), prev[j] + 1, cur[j - 1] + 1))
                if min(cur) > k:
                    continue
                if cur[n] <= k and self.terminal[c]:
                    found += 1
                if use_length or use_letters:
                    best = FAR
                    for j in range(n + 1):
                        if cur[j] > k:
                            continue
                        rest = n - j
                        bound = 0
                        if use_length:
                            lo, hi = self.shortest[c], self.longest[c]
                            bound = lo - rest if rest < lo else (rest - hi if rest > hi else 0)
                        if use_letters:
                            bound = max(bound, sum(1 for b in bits[j:] if not self.mask[c] & b))
                        best = min(best, cur[j] + bound)
                    if best > k:
                        continue
                stack.append((c, cur, depth + 1))
        return rows, found


def main(argv=None) -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--k", type=int, default=1)
    parser.add_argument("--queries", type=int, default=200)
    parser.add_argument("--words", help="word list (default: wamerican-huge)")
    args = parser.parse_args(argv)
    words = wl.load_words(args.words or wl.ensure_huge_wordlist())
    work = wl.build_workload(words, "model")
    model = Model(words)
    print(
        f"{len(words):,} words, {len(model.labels):,} nodes; k = {args.k}, {args.queries} queries"
    )
    baseline = None
    for name, length, letters in (
        ("today", False, False),
        ("+length", True, False),
        ("+length+letters", True, True),
    ):
        counts = [model.walk(q, args.k, length, letters) for q in work.queries[: args.queries]]
        rows = [r for r, _ in counts]
        found = [f for _, f in counts]
        if baseline is None:
            baseline = found
        same = "same matches" if found == baseline else "MATCHES DIFFER"
        print(
            f"{name:>16}: rows per query median {statistics.median(rows):,.0f},"
            f" mean {statistics.fmean(rows):,.0f}; {same}"
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
