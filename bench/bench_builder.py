"""Time IndexBuilder on synthetic search logs; prints figures, asserts nothing.

    PYTHONPATH=build/pkg:python python bench/bench_builder.py [TERMS]

Terms are random phrases of one to four words over a 5,000-word vocabulary;
each has one to three videos out of 200,000 integer ids. Reports the time to
add the records, to lay out the arrays (numpy and pure-Python paths), for
the extension to build from them, and the encoded size.
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


def main() -> None:
    terms = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    records = list(synthetic_records(terms))
    print(f"{terms:,} terms, {len(records):,} records")

    t = time.perf_counter()
    builder = IndexBuilder()
    builder.add_records(records)
    print(f"add_records            {time.perf_counter() - t:7.2f} s")

    for use_numpy in (True, False):
        t = time.perf_counter()
        arrays = builder.arrays(20, use_numpy=use_numpy)
        label = "numpy" if use_numpy else "pure Python"
        print(f"arrays ({label:11})   {time.perf_counter() - t:7.2f} s  "
              f"{len(arrays.child_labels):,} nodes")

    t = time.perf_counter()
    index = arrays.build()
    print(f"from_internal_data_v2  {time.perf_counter() - t:7.2f} s")
    t = time.perf_counter()
    size = len(index.to_bytes())
    print(f"to_bytes               {time.perf_counter() - t:7.2f} s  {size:,} bytes")

    t = time.perf_counter()
    builder.build(20)
    print(f"build (all steps after adding) {time.perf_counter() - t:7.2f} s")


if __name__ == "__main__":
    main()
