"""Two searchers in one process, taking turns on the same queries: in
blocks of 100 each keeps its data in the caches as it would serving a search
box alone; query by query each evicts the other's, the harshest case for the
smaller index. 200 other queries warm both up first (ours derives its
reversed-term trie on first need). Prints build time, memory, latency, their
ratio, and how many answers differ, judged by plain Levenshtein distance.
"""

from __future__ import annotations

import glob
import importlib.util
import os
import random
import time

from common import (
    latency,
    levenshtein,
    load_words,
    random_edit,
    resident_bytes,
    take_turns,
    trie_arrays,
)


def load_build(directory: str):
    """The _quillomar module compiled in `directory`, under its own handle."""
    found = glob.glob(os.path.join(directory, "_quillomar.*.so"))
    if not found:
        raise SystemExit(f"no _quillomar module in {directory}")
    spec = importlib.util.spec_from_file_location("_quillomar", found[0])
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def ours(module):
    """Builds `module`'s index; returns its search as word -> distance."""

    def build(words):
        index = module.PrefixSearch.from_internal_data_v2(*trie_arrays(words)[0], [], 1)
        return index.fuzzy_match, lambda found: {t: d for t, _, d in found}

    return build


def cpp_peer(words):
    import SymSpellCppPy

    peer = SymSpellCppPy.SymSpell(max_dictionary_edit_distance=2)
    for w in words:
        peer.create_dictionary_entry(w, 1)
    everything = SymSpellCppPy.Verbosity.ALL
    return (lambda q, k: peer.lookup(q, everything, k)), (
        lambda found: {s.term: s.distance for s in found}
    )


def run_list(name, pair, queries, seed, blocks) -> None:
    words = load_words(name)
    rng = random.Random(seed)
    letters = "".join(rng.choice(rng.choice(words)) for _ in range(2000))
    searchers, built = [], []
    for label, build in pair:
        before = resident_bytes()
        start = time.perf_counter()
        search, as_dict = build(words)
        build_s = time.perf_counter() - start
        start = time.perf_counter()
        search((words[0] * 8)[:8], 1)
        first_s = time.perf_counter() - start
        searchers.append((search, as_dict))
        built.append(
            f"{label}: build {build_s:.2f} s, first query {first_s:.3f} s, "
            f"{(resident_bytes() - before) / 1e6:.1f} MB"
        )
    print(f"{name}: {len(words):,} terms; " + "; ".join(built), flush=True)

    def edited(k):
        word = rng.choice(words)
        for _ in range(k):
            word = random_edit(word, rng, letters)
        return word

    (a_label, _), (b_label, _) = pair
    for k in (1, 2):
        for q in [edited(k) for _ in range(200)]:
            for search, _ in searchers:
                search(q, k)
        qs = [edited(k) for _ in range(queries)]
        fns = [lambda q, s=search: s(q, k) for search, _ in searchers]
        for block in blocks:
            (a_ns, a_out), (b_ns, b_out) = take_turns(fns, qs, block)
            differing = wrong = 0
            for q, x, y in zip(qs, a_out, b_out):
                mine, theirs = searchers[0][1](x), searchers[1][1](y)
                if mine != theirs:
                    differing += 1
                    for w in set(mine) | set(theirs):
                        true = levenshtein(q, w)
                        wrong += theirs.get(w) != (true if true <= k else None)
            a, b = latency(a_ns), latency(b_ns)
            turns = "query by query" if block == 1 else f"blocks of {block}"
            print(
                f"  k={k}, turns {turns}: {a_label} median {a['median_us']:.2f} us "
                f"p99 {a['p99_us']:.1f} us | {b_label} median {b['median_us']:.2f} us "
                f"p99 {b['p99_us']:.1f} us | {b_label}/{a_label} median "
                f"{b['median_us'] / a['median_us']:.2f}x p99 {b['p99_us'] / a['p99_us']:.2f}x | "
                f"{b_label} differs on {differing} of {len(qs)} queries "
                f"({wrong} words wrong by plain distance)",
                flush=True,
            )


def run(lists, builds, queries, seed, blocks) -> None:
    if builds:
        old, new = (load_build(d) for d in builds)
        pair = [("new", ours(new)), ("old", ours(old))]
    else:
        import _quillomar

        pair = [("ours", ours(_quillomar)), ("peer", cpp_peer)]
    for name in lists:
        run_list(name, pair, queries, seed, blocks)
