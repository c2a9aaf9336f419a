"""How fast hostile byte strings are refused.

Takes the sample encoding of tests/test_hostile_inputs.py, sets every
sequence count in turn to 2**31, 2**32, 2**64-1 and one more than the bytes
left, cuts it at every byte offset, and reports the slowest and median time
for from_bytes to raise (best of --repeat tries per variant).

Run:  PYTHONPATH=build/NAME:python python bench/bench_hostile.py
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))

from _quillomar import PrefixSearch  # noqa: E402
from test_hostile_inputs import hostile_variants, sample_encoding  # noqa: E402


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    times = []
    for blob in hostile_variants(sample_encoding()):
        best = float("inf")
        for _ in range(args.repeat):
            start = time.perf_counter()
            try:
                PrefixSearch.from_bytes(blob)
            except ValueError:
                pass
            best = min(best, time.perf_counter() - start)
        times.append(best)
    print(
        f"variants {len(times)}: median {statistics.median(times) * 1e6:.2f} us, "
        f"slowest {max(times) * 1e6:.2f} us"
    )


if __name__ == "__main__":
    main()
