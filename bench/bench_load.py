#!/usr/bin/env python3
"""Load time and memory of a stored index, and what the first term search
adds (the reversed-term trie is derived on first need).

    python bench/bench_load.py make WORDS INDEX   # write INDEX from a word list
    python bench/bench_load.py load INDEX         # measure one load

`load` prints, as one line of key=value pairs: the from_bytes time, the
resident memory the loaded index added, the time of the first fuzzy_match
that takes the forward-backward walk and the memory after it, and the
median of 200 further queries. Run it under two builds (PYTHONPATH) in
alternation to compare them; Debian's wpolish list (4.3 million words) is
the large case. Reports figures, asserts nothing.
"""

from __future__ import annotations

import os
import random
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

from common import load_words, resident_bytes, trie_arrays  # noqa: E402


def make(words_path: str, index_path: str) -> None:
    from _quillomar import PrefixSearch

    words = load_words(words_path)
    index = PrefixSearch.from_internal_data_v2(*trie_arrays(words)[0], [], 1)
    tmp = index_path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(index.to_bytes())
    os.replace(tmp, index_path)
    print(f"{len(words):,} words -> {index_path} ({os.path.getsize(index_path) / 1e6:.1f} MB)")


def load(index_path: str) -> None:
    from _quillomar import PrefixSearch

    with open(index_path, "rb") as f:
        blob = f.read()
    before = resident_bytes()
    start = time.perf_counter()
    index = PrefixSearch.from_bytes(blob)
    load_s = time.perf_counter() - start
    loaded = resident_bytes() - before
    rng = random.Random(1)
    letters = "abcdefghijklmnoprstuwyzęóąśłżźćń"
    queries = ["".join(rng.choice(letters) for _ in range(rng.randint(6, 11))) for _ in range(201)]
    start = time.perf_counter()
    index.fuzzy_match(queries[0], 2)
    first_s = time.perf_counter() - start
    after = resident_bytes() - before
    times = []
    for q in queries[1:]:
        start = time.perf_counter()
        index.fuzzy_match(q, 2)
        times.append(time.perf_counter() - start)
    print(
        f"from_bytes_s={load_s:.3f} loaded_MB={loaded / 1e6:.1f} first_query_s={first_s:.3f} "
        f"after_first_MB={after / 1e6:.1f} median_query_us={statistics.median(times) * 1e6:.1f}"
    )


def main(argv: list[str]) -> int:
    if len(argv) == 3 and argv[0] == "make":
        make(argv[1], argv[2])
    elif len(argv) == 2 and argv[0] == "load":
        load(argv[1])
    else:
        print(__doc__, file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
