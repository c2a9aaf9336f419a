#!/usr/bin/env python3
"""fuzzy_match of two builds of the extension side by side, in one process.

    python bench/bench_term_builds.py OLD_BUILD_DIR NEW_BUILD_DIR [--lists huge,phrases]

Each BUILD_DIR holds a compiled _quillomar module (for example build/dev of
two checkouts). Both are loaded into this process under their own handles,
each builds the same index from the same words, and the same queries (an
indexed word after k random edits, k = 1, 2) are timed on both, taking
turns a block of queries at a time with the first turn alternating, so
that a noisy machine hurts both alike. Prints per list and bound the
median and 99th percentile of each and the speed-up, and checks that both
builds give the same answers. Reports figures, asserts nothing.
"""

from __future__ import annotations

import argparse
import gc
import glob
import importlib.util
import os
import random
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

from bench_cpp_peer import LISTS, edited, load_list  # noqa: E402
from peers.compare import latency  # noqa: E402
from peers.trie_arrays import build_arrays  # noqa: E402


def load_build(directory: str):
    found = glob.glob(os.path.join(directory, "_quillomar.*.so"))
    if not found:
        raise SystemExit(f"no _quillomar module in {directory}")
    spec = importlib.util.spec_from_file_location("_quillomar", found[0])
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def run_list(name, builds, queries, block, seed):
    words = load_list(name)
    rng = random.Random(seed)
    letters = "".join(rng.choice(rng.choice(words)) for _ in range(2000))
    arrays = build_arrays(words)
    indexes = [m.PrefixSearch.from_internal_data_v2(*arrays, [], 1) for m in builds]
    for s in indexes:
        s.fuzzy_match((words[0] * 8)[:8], 1)  # derives what the first search needs
    clock = time.perf_counter_ns
    print(f"{name}: {len(words):,} terms", flush=True)
    for k in (1, 2):
        qs = [edited(rng.choice(words), k, letters, rng) for _ in range(queries)]
        times = [[0] * len(qs) for _ in indexes]
        same = True
        gc.disable()
        try:
            for start in range(0, len(qs), block):
                order = (0, 1) if (start // block) % 2 == 0 else (1, 0)
                for b in order:
                    f = indexes[b].fuzzy_match
                    for i in range(start, min(start + block, len(qs))):
                        t0 = clock()
                        f(qs[i], k)
                        times[b][i] = clock() - t0
        finally:
            gc.enable()
        for q in qs[:500]:
            same &= indexes[0].fuzzy_match(q, k) == indexes[1].fuzzy_match(q, k)
        old, new = latency(times[0]), latency(times[1])
        print(
            f"  k={k}: old median {old['median_us']:.2f} us p99 {old['p99_us']:.1f} us | "
            f"new median {new['median_us']:.2f} us p99 {new['p99_us']:.1f} us | "
            f"speed-up median {old['median_us'] / new['median_us']:.2f}x "
            f"p99 {old['p99_us'] / new['p99_us']:.2f}x | "
            f"answers {'identical' if same else 'DIFFER'} on the first 500",
            flush=True,
        )


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("old", help="directory of the old build's _quillomar module")
    parser.add_argument("new", help="directory of the new build's _quillomar module")
    parser.add_argument("--lists", default="huge,phrases", help=", ".join(LISTS))
    parser.add_argument("--queries", type=int, default=4000)
    parser.add_argument("--block", type=int, default=100, help="queries per turn")
    parser.add_argument("--seed", type=int, default=7)
    args = parser.parse_args(argv)
    builds = [load_build(args.old), load_build(args.new)]
    for name in args.lists.split(","):
        run_list(name, builds, args.queries, args.block, args.seed)
    return 0


if __name__ == "__main__":
    sys.exit(main())
