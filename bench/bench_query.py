"""Query benchmark: fuzzy_match and fuzzy_match_video on a real word list.

Every word of wamerican-huge with a few synthetic video counts (top 20 kept);
10,000 queries one random edit from an indexed word and 10,000 prefixes of 2
to 6 characters. Per method and bound: median and p99 time per call (each
query's best of --repeat passes) and nanoseconds per visited node, counted
by an independent numpy model of the plain walk ("rows": the rows the
extension still computes after skipping children whose label cannot keep
them within the bound).
"""

from __future__ import annotations

import argparse
import random
import statistics
import time

import numpy as np

from _quillomar import PrefixSearch
from common import load_words, per_call, percentile, random_edit, trie_arrays

TOP_N = 20
VIDEOS = 100_000


def synthetic_payload(rng: random.Random):
    k = rng.randint(1, 4)
    ids = [min(int(rng.paretovariate(1.2)) - 1, VIDEOS - 1) * 7919 % VIDEOS for _ in range(k)]
    counts = [rng.randint(1, 100) for _ in range(k)]
    return (sum(counts) + rng.randint(0, 10), ids, counts)


def make_queries(words: list[str], rng: random.Random, count: int):
    edits = [random_edit(rng.choice(words), rng) for _ in range(count)]
    prefixes = []
    while len(prefixes) < count:
        w = rng.choice(words)
        if len(w) >= 2:
            prefixes.append(w[: rng.randint(2, min(6, len(w)))])
    return {"edit": edits, "prefix": prefixes}


class NodeCounter:
    """The walk's pruning rule, level by level with whole rows in numpy:
    counts the rows the plain walk computes for a query and bound."""

    def __init__(self, shifts, labels, slots):
        self.shifts = np.asarray(shifts, dtype=np.int64)
        self.ends = np.append(self.shifts[1:], len(slots))
        self.slots = np.asarray(slots, dtype=np.int64)
        self.labels = np.array([ord(x[0]) if x else 0 for x in labels], dtype=np.int64)

    def count(self, query: str, bound: int) -> tuple[int, int]:
        q = [ord(ch) for ch in query]
        n = len(q)
        letters = np.array(sorted(set(q)), dtype=np.int64)
        frontier = np.zeros(1, dtype=np.int64)
        rows = np.arange(n + 1, dtype=np.int64)[None, :]
        mins = np.zeros(1, dtype=np.int64)
        depth = 0
        visited = computed = 0
        while frontier.size:
            start = self.shifts[frontier]
            num = np.maximum(self.ends[frontier] - start, 0)
            total = int(num.sum())
            if total == 0:
                break
            parent = np.repeat(np.arange(frontier.size), num)
            offset = np.arange(total) - np.repeat(np.cumsum(num) - num, num)
            child = self.slots[np.repeat(start, num) + offset]
            lab = self.labels[child]
            keep = lab != 0
            child, lab, parent = child[keep], lab[keep], parent[keep]
            visited += child.size
            skipped = (mins[parent] == bound) & ~np.isin(lab, letters)
            computed += int(child.size - skipped.sum())
            prev = rows[parent]
            cur = np.empty((child.size, n + 1), dtype=np.int64)
            cur[:, 0] = depth + 1
            for j in range(1, n + 1):
                cur[:, j] = np.minimum(
                    np.minimum(prev[:, j - 1] + (lab != q[j - 1]), prev[:, j] + 1),
                    cur[:, j - 1] + 1,
                )
            rmin = cur.min(axis=1)
            ok = rmin <= bound
            frontier, rows, mins = child[ok], cur[ok], rmin[ok]
            depth += 1
        return visited, computed


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--queries", type=int, default=10_000, help="queries per set (default 10000)")
    ap.add_argument("--seed", type=int, default=20240601)
    ap.add_argument(
        "--repeat", type=int, default=3, help="timed passes per query set; each query's best counts"
    )
    ap.add_argument(
        "--no-count", action="store_true", help="skip the visited-node count (the slow part)"
    )
    args = ap.parse_args()

    rng = random.Random(args.seed)
    words = load_words()
    (shifts, labels, payloads, slots), _ = trie_arrays(words, lambda _: synthetic_payload(rng))
    video_index = [v.to_bytes(4, "little") for v in range(VIDEOS)]
    t0 = time.perf_counter()
    index = PrefixSearch.from_internal_data_v2(shifts, labels, payloads, slots, video_index, TOP_N)
    build_s = time.perf_counter() - t0
    print(f"words {len(words):,}  nodes {len(labels):,}  (built in {build_s:.1f} s)")
    sets = make_queries(words, rng, args.queries)
    for name, qs in sets.items():
        print(f"{name:6s} queries: {len(qs):,}, mean length {statistics.mean(map(len, qs)):.1f}")
    counter = None if args.no_count else NodeCounter(shifts, labels, slots)

    runs = [
        ("fuzzy_match", 1, lambda q: index.fuzzy_match(q, 1)),
        ("fuzzy_match", 2, lambda q: index.fuzzy_match(q, 2)),
        ("fuzzy_match_video", 1, lambda q: index.fuzzy_match_video(q, 1)),
        ("fuzzy_match_video limit=10", 1, lambda q: index.fuzzy_match_video(q, 1, 10)),
    ]
    counts: dict[tuple[str, int], tuple[int, int]] = {}
    print()
    print(
        f"{'method':28s} {'k':>1s} {'queries':7s} {'median us':>9s} "
        f"{'p99 us':>8s} {'results':>8s} {'visited':>8s} {'rows':>7s} "
        f"{'ns/visited':>10s}"
    )
    for method, k, fn in runs:
        for name, qs in sets.items():
            # Each query's best of whole passes (so caches see the real mix):
            # on a shared machine the figure least disturbed by other work.
            times = per_call(fn, qs, warmup=500, repeat=args.repeat)[0]
            results = statistics.mean(len(fn(q)) for q in qs[:1000])
            st = sorted(times)
            line = (
                f"{method:28s} {k:1d} {name:7s} {statistics.median(st) / 1e3:9.1f} "
                f"{percentile(st, 0.99) / 1e3:8.1f} {results:8.1f}"
            )
            if counter is not None and method == "fuzzy_match":
                if (name, k) not in counts:
                    vs = [counter.count(q, k) for q in qs]
                    counts[(name, k)] = (sum(v for v, _ in vs), sum(c for _, c in vs))
                visited, computed = counts[(name, k)]
                line += (
                    f" {visited / len(qs):8.0f} {computed / len(qs):7.0f}"
                    f" {sum(times) / visited:10.1f}"
                )
            print(line, flush=True)


if __name__ == "__main__":
    main()
