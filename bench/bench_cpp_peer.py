#!/usr/bin/env python3
"""fuzzy_match against the C++ delete-neighbourhood peer (SymSpellCppPy), in
one process, taking turns, on several word lists.

For each list: both indexes are built from the same words (ours from
breadth-first arrays, the peer with one create_dictionary_entry per word),
then QUERIES queries per bound k = 1, 2, each an indexed word after k random
edits with letters of the list itself, are asked of both. They take turns a
block of queries at a time (--blocks; which goes first alternates): in
blocks of 100 each library keeps its own data in the caches as it would
when serving a search box alone, while query by query each evicts the
other's between any two queries, which is the harshest case for the smaller
and more cache-friendly index. A first pass over 200 other queries warms both up (ours derives
its reversed-term trie on first need). Prints per list and bound the median
and 99th percentile of each, their ratio, and how many of the peer's answers
differ from ours, with the differing words judged by plain Levenshtein
distance (ours equals brute force in the tests). Also prints build time and
the resident memory each index added. Reports figures, asserts nothing.

    python bench/bench_cpp_peer.py [--queries N] [--lists huge,phrases,...] [--blocks 100,1]

The peer is installed by bench/peers/install_cpp_peer.sh; the word lists are
Debian packages (wamerican-huge, wamerican, wngerman, wfrench, wukrainian,
wordnet-base), installed with apt-get when missing.
"""

from __future__ import annotations

import argparse
import gc
import os
import random
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

from peers.compare import latency, levenshtein  # noqa: E402
from peers.measure import resident_bytes  # noqa: E402
from peers.trie_arrays import build_arrays  # noqa: E402
from peers.workload import normalise_words  # noqa: E402

WORDNET = "/usr/share/wordnet"
LISTS = {
    # name: (package, file or None for the WordNet lemmas)
    "huge": ("wamerican-huge", "/usr/share/dict/american-english-huge"),
    "phrases": ("wordnet-base", None),
    "english": ("wamerican", "/usr/share/dict/american-english"),
    "german": ("wngerman", "/usr/share/dict/ngerman"),
    "french": ("wfrench", "/usr/share/dict/french"),
    "ukrainian": ("wukrainian", "/usr/share/dict/ukrainian"),
}


def ensure_package(package: str, path: str) -> None:
    if os.path.exists(path):
        return
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    apt = shutil.which("apt-get")
    if apt is None:
        raise SystemExit(f"{path} is missing and apt-get is not available to install {package}")
    subprocess.run([apt, "update", "-qq"], check=True, env=env)
    subprocess.run([apt, "install", "-y", "-qq", package], check=True, env=env)


def load_list(name: str) -> list[str]:
    package, path = LISTS[name]
    if path is not None:
        ensure_package(package, path)
        with open(path, encoding="utf-8") as f:
            return normalise_words(f)
    ensure_package(package, os.path.join(WORDNET, "index.noun"))
    lemmas = []
    for part in ("noun", "verb", "adj", "adv"):
        with open(os.path.join(WORDNET, f"index.{part}"), encoding="utf-8") as f:
            for line in f:
                if not line.startswith(" "):
                    lemmas.append(line.split(" ", 1)[0].replace("_", " "))
    return normalise_words(lemmas)


def edited(word: str, k: int, letters: str, rng: random.Random) -> str:
    for _ in range(k):
        op = rng.randrange(3)
        if op == 1 and len(word) <= 1:
            op = 2
        i = rng.randrange(len(word) + (op == 0))
        if op == 0:
            word = word[:i] + rng.choice(letters) + word[i:]
        elif op == 1:
            word = word[:i] + word[i + 1 :]
        else:
            word = word[:i] + rng.choice(letters) + word[i + 1 :]
    return word


def run_list(name: str, queries: int, seed: int, most: int | None, blocks: list[int]) -> None:
    import SymSpellCppPy

    from _quillomar import PrefixSearch

    words = load_list(name)
    rng = random.Random(seed)
    if most is not None and len(words) > most:
        words = sorted(rng.sample(words, most))
    letters = "".join(rng.choice(rng.choice(words)) for _ in range(2000))

    before = resident_bytes()
    start = time.perf_counter()
    shifts, labels, payloads, slots = build_arrays(words)
    arrays_s = time.perf_counter() - start
    start = time.perf_counter()
    ours = PrefixSearch.from_internal_data_v2(shifts, labels, payloads, slots, [], 1)
    ours_build_s = time.perf_counter() - start
    del shifts, labels, payloads, slots
    ours_bytes = resident_bytes() - before
    start = time.perf_counter()
    ours.fuzzy_match((words[0] * 8)[:8], 1)  # derives the reversed-term trie
    ours_first_s = time.perf_counter() - start
    ours_bytes_after = resident_bytes() - before

    before = resident_bytes()
    start = time.perf_counter()
    peer = SymSpellCppPy.SymSpell(max_dictionary_edit_distance=2)
    for w in words:
        peer.create_dictionary_entry(w, 1)
    peer_build_s = time.perf_counter() - start
    peer_bytes = resident_bytes() - before
    everything = SymSpellCppPy.Verbosity.ALL

    print(
        f"{name}: {len(words):,} terms; ours: arrays {arrays_s:.2f} s (Python), "
        f"from_internal_data_v2 {ours_build_s:.3f} s, first fuzzy_match {ours_first_s:.3f} s, "
        f"{ours_bytes / 1e6:.1f} MB before / {ours_bytes_after / 1e6:.1f} MB after it; "
        f"peer: build {peer_build_s:.1f} s, {peer_bytes / 1e6:.0f} MB",
        flush=True,
    )
    for k in (1, 2):
        warm = [edited(rng.choice(words), k, letters, rng) for _ in range(200)]
        for q in warm:
            ours.fuzzy_match(q, k)
            peer.lookup(q, everything, k)
        qs = [edited(rng.choice(words), k, letters, rng) for _ in range(queries)]
        for block in blocks:
            ours_ns, peer_ns, ours_out, peer_out = timed(ours, peer, everything, qs, k, block)
            report(qs, k, block, ours_ns, peer_ns, ours_out, peer_out)


def timed(ours, peer, everything, qs, k, block):
    """Times every query on both, taking turns a block of `block` queries at
    a time, the first turn alternating between blocks."""
    ours_ns, peer_ns = [0] * len(qs), [0] * len(qs)
    ours_out, peer_out = [None] * len(qs), [None] * len(qs)
    clock = time.perf_counter_ns
    gc.disable()
    try:
        for start in range(0, len(qs), block):
            turns = (0, 1) if (start // block) % 2 == 0 else (1, 0)
            part = range(start, min(start + block, len(qs)))
            for turn in turns:
                if turn == 0:
                    for i in part:
                        t0 = clock()
                        got = ours.fuzzy_match(qs[i], k)
                        ours_ns[i] = clock() - t0
                        ours_out[i] = got
                else:
                    for i in part:
                        t0 = clock()
                        got = peer.lookup(qs[i], everything, k)
                        peer_ns[i] = clock() - t0
                        peer_out[i] = got
    finally:
        gc.enable()
    return ours_ns, peer_ns, ours_out, peer_out


def report(qs, k, block, ours_ns, peer_ns, ours_out, peer_out):
    differing = wrong = 0
    for q, a, b in zip(qs, ours_out, peer_out):
        mine = {t: d for t, _, d in a}
        theirs = {s.term: s.distance for s in b}
        if mine == theirs:
            continue
        differing += 1
        for w in set(mine) | set(theirs):
            true = levenshtein(q, w)
            if theirs.get(w) != (true if true <= k else None):
                wrong += 1
    a, b = latency(ours_ns), latency(peer_ns)
    turns = "query by query" if block == 1 else f"blocks of {block}"
    print(
        f"  k={k}, turns {turns}: ours median {a['median_us']:.1f} us p99 {a['p99_us']:.1f} us | "
        f"peer median {b['median_us']:.1f} us p99 {b['p99_us']:.1f} us | "
        f"peer/ours median {b['median_us'] / a['median_us']:.2f}x p99 {b['p99_us'] / a['p99_us']:.2f}x | "
        f"peer differs on {differing} of {len(qs)} queries ({wrong} words wrong by plain distance)",
        flush=True,
    )


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--queries", type=int, default=2000)
    parser.add_argument(
        "--lists", default=",".join(LISTS), help="comma-separated: " + ", ".join(LISTS)
    )
    parser.add_argument("--seed", type=int, default=20261209)
    parser.add_argument(
        "--blocks",
        default="100,1",
        help="comma-separated turn lengths: each library answers this many queries in a row "
        "before the other takes its turn (1: query by query, where each evicts the other's "
        "data from the caches between any two queries)",
    )
    parser.add_argument(
        "--most",
        type=int,
        help="index a random sample of at most this many words of each list (the peer takes minutes to build a list of millions)",
    )
    args = parser.parse_args(argv)
    for name in args.lists.split(","):
        run_list(name, args.queries, args.seed, args.most, [int(b) for b in args.blocks.split(",")])
        gc.collect()
    return 0


if __name__ == "__main__":
    sys.exit(main())
