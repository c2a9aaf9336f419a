"""The benchmark's quillomar queries in a bare loop, for a profiler.

    PYTHONPATH=build/peers:python python bench/peers/hot_loop.py --k 2
    perf record -g -o /tmp/q.perf -- python bench/peers/hot_loop.py --k 2
    valgrind --tool=callgrind python bench/peers/hot_loop.py --k 2 --queries 300

Same word list, seed and queries as bench/compare_peers.py. The built index
and the queries are cached (--cache) so that repeated profiles skip the
build and the word list. Prints
the median time per query of the loop (timer overhead included).
"""

from __future__ import annotations

import argparse
import os
import pickle
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from peers import adapters  # noqa: E402
from peers import workload as wl


def main(argv=None) -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--k", type=int, default=2)
    parser.add_argument("--queries", type=int, default=10_000)
    parser.add_argument(
        "--what", choices=["fuzzy_match", "fuzzy_match_video"], default="fuzzy_match"
    )
    parser.add_argument("--repeat", type=int, default=1)
    parser.add_argument("--cache", default="/tmp/quillomar-bench-index.bin")
    parser.add_argument("--words", help="word list (default: wamerican-huge)")
    args = parser.parse_args(argv)

    from _quillomar import PrefixSearch

    if os.path.exists(args.cache):
        with open(args.cache, "rb") as f:
            cached = pickle.load(f)
    else:
        words = wl.load_words(args.words or wl.ensure_huge_wordlist())
        work = wl.build_workload(words, "hot loop")
        ours = adapters.Ours()
        ours.setup(work)
        index = ours.build(work)
        cached = {"index": index.to_bytes(), "queries": work.queries, "prefixes": work.prefixes}
        with open(args.cache, "wb") as f:
            pickle.dump(cached, f)
    index = PrefixSearch.from_bytes(cached["index"])
    queries, prefixes = cached["queries"], cached["prefixes"]
    if args.what == "fuzzy_match":
        items, call = queries[: args.queries], index.fuzzy_match
    else:
        items, call = prefixes[: args.queries], index.fuzzy_match_video
    k = args.k
    clock = time.perf_counter_ns
    times = []
    for _ in range(args.repeat):
        for item in items:
            start = clock()
            call(item, k)
            times.append(clock() - start)
    print(f"{args.what} k={k}: {len(times)} calls, median {statistics.median(times) / 1000:.1f} us")
    return 0


if __name__ == "__main__":
    sys.exit(main())
