"""Construction time of an index built from arrays (from_internal_data_v2).

The trie holds every word of Debian's wamerican-huge list (installed with
apt-get when /usr/share/dict/american-english-huge is missing), lower-cased,
words with apostrophes dropped, duplicates removed, numbered breadth-first
(children after parents, siblings in label order). Every word ends in a
terminal node carrying 1 to 8 videos (mean about 2.5) drawn from a Zipf
distribution over the video table, with Zipf-distributed counts; video
identifiers are 4-byte integers. top_n is 50.

Reported, best of several runs each, in CPU time of this process (the
machine is shared, so wall-clock time would measure the neighbours too;
garbage collector off while timing):

  * time per node building from plain lists (every argument a list, payload
    tuples of lists) and from numpy arrays (node_shifts and
    child_transitions as uint32 arrays, child_labels as a one-character
    unicode array; payloads stay a list of tuples, with their short video
    lists as lists, and once more as uint32 arrays, which costs a buffer
    export per list);
  * the share of construction spent in propagation, measured as the time
    that top_n 50 adds over top_n 0 on the very same arrays. With top_n 0
    propagation only sums the totals and lays out empty lists (one simple
    pass over the nodes); everything else (argument conversion, checks,
    payload conversion, identifier table, object creation) is identical.
    So the difference is the merging and list layout that propagation does
    for top_n 50; the remaining O(N) pass is reported as well, as the time
    of a trie-shaped build with no payloads at all, as an upper bound.

Run from the repository root, with the extension on the path:
  PYTHONPATH=build/NAME:python .venv/bin/python bench/bench_build.py
"""

from __future__ import annotations

import argparse
import gc
import time

import numpy as np

from _quillomar import PrefixSearch
from wordlist import load_words, trie_arrays

TOP_N = 50


def synthetic_payloads(word_at, videos: int, seed: int = 1):
    rng = np.random.default_rng(seed)
    payloads = []
    for w in word_at:
        if w < 0:
            payloads.append(None)
            continue
        k = min(8, int(rng.geometric(0.4)))
        ids = ((rng.zipf(1.3, k) - 1) % videos).astype(np.uint32)
        counts = np.minimum(rng.zipf(1.8, k), 1_000_000).astype(np.uint32)
        total = int(counts.sum()) + int(rng.integers(0, 10))
        payloads.append((total, ids, counts))
    return payloads


def best_time(fn, repeat: int) -> float:
    best = float("inf")
    for _ in range(repeat):
        gc.collect()
        gc.disable()
        t0 = time.process_time()
        result = fn()
        t = time.process_time() - t0
        gc.enable()
        del result
        best = min(best, t)
    return best


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--videos", type=int, default=200_000)
    args = ap.parse_args()

    t0 = time.perf_counter()
    words = load_words()
    shifts, labels, slots, word_at = trie_arrays(words)
    np_payloads = synthetic_payloads(word_at, args.videos)
    video_index = [i.to_bytes(4, "little") for i in range(args.videos)]
    n = len(labels)
    list_payloads = [
        None if p is None else (p[0], p[1].tolist(), p[2].tolist()) for p in np_payloads
    ]
    as_lists = (shifts, labels, list_payloads, slots, video_index)
    as_numpy = (
        np.asarray(shifts, dtype=np.uint32),
        np.asarray(labels, dtype="<U1"),
        list_payloads,
        np.asarray(slots, dtype=np.uint32),
        video_index,
    )
    as_numpy_payloads = as_numpy[:2] + (np_payloads,) + as_numpy[3:]
    terminals = sum(p is not None for p in list_payloads)
    entries = sum(len(p[1]) for p in list_payloads if p is not None)
    print(
        f"words {len(words)}, nodes {n}, slots {len(slots)}, terminals {terminals}, "
        f"payload entries {entries}, videos {args.videos}, top_n {TOP_N} "
        f"(setup {time.perf_counter() - t0:.1f} s)"
    )

    # The inputs must build identical indexes.
    ref = PrefixSearch.from_internal_data_v2(*as_lists, TOP_N).to_bytes()
    assert PrefixSearch.from_internal_data_v2(*as_numpy, TOP_N).to_bytes() == ref
    assert PrefixSearch.from_internal_data_v2(*as_numpy_payloads, TOP_N).to_bytes() == ref

    build = PrefixSearch.from_internal_data_v2
    results = {}
    variants = (
        ("lists", as_lists),
        ("numpy", as_numpy),
        ("numpy+payload arrays", as_numpy_payloads),
    )
    for name, arrays in variants:
        t50 = best_time(lambda: build(*arrays, TOP_N), args.repeat)
        t0_ = best_time(lambda: build(*arrays, 0), args.repeat)
        results[name] = (t50, t0_)
        print(
            f"{name:20s} top_n {TOP_N}: {t50 * 1e3:8.1f} ms  {t50 / n * 1e9:6.1f} ns/node   "
            f"top_n 0: {t0_ * 1e3:8.1f} ms   propagation (difference) "
            f"{(t50 - t0_) * 1e3:6.1f} ms = {100 * (t50 - t0_) / t50:4.1f} %"
        )

    # Upper bound of the O(N) remainder of propagation: a build of the same
    # shape with no payloads and top_n 0 (conversion of shifts, labels and
    # slots, checks, the totals pass, empty layout).
    bare = (as_numpy[0], as_numpy[1], [None] * n, as_numpy[3], [])
    t_bare = best_time(lambda: build(*bare, 0), args.repeat)
    print(f"bare trie (numpy, no payloads, top_n 0): {t_bare * 1e3:.1f} ms")

    lists50, numpy50 = results["lists"][0], results["numpy"][0]
    print(f"numpy speed-up over lists: {lists50 / numpy50:.2f}x")


if __name__ == "__main__":
    main()
