"""The comparison's quillomar queries in a bare loop, for a profiler.

    PYTHONPATH=build/dev:python python bench/peers/hot_loop.py --k 2
    perf record -g -o /tmp/q.perf -- python bench/peers/hot_loop.py --k 2
    valgrind --tool=callgrind python bench/peers/hot_loop.py --k 2 --queries 300

Same word list, seed and queries as bench/compare_peers.py. The built index
and the queries are cached (--cache) so that repeated profiles skip the
build and the word list. Prints the median time per query of the loop.
"""

from __future__ import annotations

import argparse
import os
import pickle
import statistics
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from common import load_words, per_call  # noqa: E402
from peers import adapters  # noqa: E402
from peers import workload as wl  # noqa: E402


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--k", type=int, default=2)
    parser.add_argument("--queries", type=int, default=10_000)
    parser.add_argument(
        "--what", choices=["fuzzy_match", "fuzzy_match_video"], default="fuzzy_match"
    )
    parser.add_argument("--repeat", type=int, default=1)
    parser.add_argument("--cache", default="/tmp/quillomar-bench-index.bin")
    parser.add_argument("--words", default="huge", help="word list name or file")
    args = parser.parse_args(argv)

    from _quillomar import PrefixSearch

    if not os.path.exists(args.cache):
        work = wl.build_workload(load_words(args.words), "hot loop")
        ours = adapters.Ours()
        ours.setup(work)
        with open(args.cache, "wb") as f:
            pickle.dump({"index": ours.build(work).to_bytes(), "work": work}, f)
    with open(args.cache, "rb") as f:
        cached = pickle.load(f)
    index, work = PrefixSearch.from_bytes(cached["index"]), cached["work"]
    if args.what == "fuzzy_match":
        items, call = work.queries[: args.queries], index.fuzzy_match
    else:
        items, call = work.prefixes[: args.queries], index.fuzzy_match_video
    times = per_call(lambda q: call(q, args.k), items, repeat=args.repeat)[0]
    print(
        f"{args.what} k={args.k}: {len(times)} calls, median {statistics.median(times) / 1000:.1f} us"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
