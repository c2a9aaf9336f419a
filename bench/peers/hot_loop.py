"""The comparison's quillomar queries in a bare loop, for a profiler:

perf record -g -- python bench/peers/hot_loop.py --k 2
valgrind --tool=callgrind python bench/peers/hot_loop.py --k 2 --queries 300
"""

from __future__ import annotations

import argparse
import os
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
    parser.add_argument("--video", action="store_true", help="fuzzy_match_video on the prefixes")
    parser.add_argument("--words", default="huge", help="word list name or file")
    args = parser.parse_args(argv)
    work = wl.build_workload(load_words(args.words), "hot loop")
    ours = adapters.Ours()
    ours.setup(work)
    index = ours.build(work)
    call = index.fuzzy_match_video if args.video else index.fuzzy_match
    items = (work.prefixes if args.video else work.queries)[: args.queries]
    times = per_call(lambda q: call(q, args.k), items)[0]
    print(f"{len(times)} calls, median {statistics.median(times) / 1000:.1f} us")
    return 0


if __name__ == "__main__":
    sys.exit(main())
