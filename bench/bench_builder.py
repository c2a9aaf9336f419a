"""Time IndexBuilder on synthetic search logs; prints figures, asserts nothing.

    PYTHONPATH=build/dev:python .venv/bin/python bench/bench_builder.py [TERMS]

Terms are random phrases of one to four words over a 5,000-word vocabulary;
each has one to three videos out of 200,000 integer ids. Reports the time to
add the records, to lay out the arrays (numpy and pure-Python paths), for
the extension to build from them, and the encoded size. Times are wall clock
and CPU time of this process (the latter is steadier on a shared machine).
"""

from __future__ import annotations

import random
import sys
import time

from quillomar import IndexBuilder


def synthetic_records(terms: int, seed: int = 1):
    rng = random.Random(seed)
    letters = "abcdefghijklmnopqrstuvwxyz"
    words = ["".join(rng.choice(letters) for _ in range(rng.randint(2, 9)))
             for _ in range(5000)]
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
        print(f"{self.label:32} {wall:7.2f} s wall {cpu:7.2f} s cpu  "
              f"{getattr(self, 'note', '')}")


def main() -> None:
    terms = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    records = list(synthetic_records(terms))
    print(f"{terms:,} terms, {len(records):,} records")

    builder = IndexBuilder()
    with Timer("add_records"):
        builder.add_records(records)

    for use_numpy in (False, True):
        label = "numpy" if use_numpy else "pure Python"
        with Timer(f"arrays ({label})") as timer:
            arrays = builder.arrays(20, use_numpy=use_numpy)
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
