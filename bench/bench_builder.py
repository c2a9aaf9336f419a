"""Time IndexBuilder on synthetic search logs; prints figures, asserts nothing.

    PYTHONPATH=build/dev:python .venv/bin/python bench/bench_builder.py [TERMS]
    PYTHONPATH=build/dev:python .venv/bin/python bench/bench_builder.py --terms-only

Terms are random phrases of one to four words over a 5,000-word vocabulary;
each has one to three videos out of 200,000 integer ids. Reports the time to
add the records, to lay out the arrays, for
the extension to build from them, and the encoded size. Times are wall clock
and CPU time of this process (the latter is steadier on a shared machine).

--terms-only indexes the word list (bench/wordlist.py) with a total of 1 per
word and no videos, the way a user indexes bare terms: it times setting the
totals (one set_total call per word, and the bulk set_totals where the
builder has it), laying out the arrays and the extension's construction,
each the best of three runs.
"""

from __future__ import annotations

import gc
import os
import random
import sys
import time

from quillomar import IndexBuilder, PrefixSearch


def synthetic_records(terms: int, seed: int = 1):
    rng = random.Random(seed)
    letters = "abcdefghijklmnopqrstuvwxyz"
    words = ["".join(rng.choice(letters) for _ in range(rng.randint(2, 9))) for _ in range(5000)]
    seen = set()
    while len(seen) < terms:
        seen.add(" ".join(rng.choice(words) for _ in range(rng.randint(1, 4))))
    for term in seen:
        for _ in range(rng.randint(1, 3)):
            yield term, rng.randrange(200_000), rng.randint(1, 1000)


class Timer:
    def __init__(self, label):
        self.label = label

    def __enter__(self):
        self.wall = time.perf_counter()
        self.cpu = time.process_time()
        return self

    def __exit__(self, *exc):
        wall = time.perf_counter() - self.wall
        cpu = time.process_time() - self.cpu
        print(f"{self.label:32} {wall:7.2f} s wall {cpu:7.2f} s cpu  {getattr(self, 'note', '')}")


def best_of(runs, step):
    """Least wall time of `runs` calls of step(); returns (seconds, result)."""
    best, result = float("inf"), None
    for _ in range(runs):
        gc.collect()
        start = time.perf_counter()
        result = step()
        best = min(best, time.perf_counter() - start)
    return best, result


def terms_only(runs: int = 3) -> None:
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    from wordlist import load_words

    words = load_words()
    top_n = 20
    print(f"{len(words):,} words, terms only, best of {runs}")

    def loop():
        builder = IndexBuilder()
        for word in words:
            builder.set_total(word, 1)
        return builder

    fills = [("set_total loop", loop)]
    if hasattr(IndexBuilder, "set_totals"):

        def bulk():
            builder = IndexBuilder()
            builder.set_totals(dict.fromkeys(words, 1))
            return builder

        fills.append(("set_totals", bulk))
    for label, fill in fills:
        fill_time, builder = best_of(runs, fill)
        arrays_time, arrays = best_of(runs, lambda b=builder: b.arrays(top_n))
        native_time, index = best_of(runs, lambda a=arrays: PrefixSearch.from_internal_data_v2(*a))
        total_time, _ = best_of(
            runs, lambda: PrefixSearch.from_internal_data_v2(*fill().arrays(top_n))
        )
        print(
            f"{label:16} fill {fill_time:6.3f} s  arrays {arrays_time:6.3f} s  "
            f"from_internal_data_v2 {native_time:6.3f} s  "
            f"whole path {total_time:6.3f} s  "
            f"({len(arrays.child_labels):,} nodes, "
            f"{len(index.to_bytes()):,} bytes)"
        )
        del arrays, index, builder


def main() -> None:
    if sys.argv[1:] == ["--terms-only"]:
        terms_only()
        return
    terms = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    records = list(synthetic_records(terms))
    print(f"{terms:,} terms, {len(records):,} records")

    builder = IndexBuilder()
    with Timer("add_records"):
        builder.add_records(records)

    with Timer("arrays") as timer:
        arrays = builder.arrays(20)
        timer.note = f"{len(arrays.child_labels):,} nodes"

    with Timer("from_internal_data_v2"):
        arrays.build()
    del arrays

    with Timer("build (arrays + extension)") as timer:
        index = builder.build(20)
    with Timer("to_bytes") as timer:
        timer.note = f"{len(index.to_bytes()):,} bytes"


if __name__ == "__main__":
    main()
