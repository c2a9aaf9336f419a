"""Any-word search quality and cost: simulated users type a popular term in
three ways (from its first word, from a later word, with its words in
another order), half of them with a typo, on the sample log and a generated
log. Reports success@10 (the term's most-clicked video among the ten
returned), how often the meant term is among the first ten suggested
searches, per-keystroke time, and what the term sections add to the file
and to the build, for start-only matching (today's) and any-word matching
side by side in one run.

    PYTHONPATH=build/dev:python .venv/bin/python bench/bench_any_word.py --terms 200000
"""

from __future__ import annotations

import argparse
import bisect
import collections
import itertools
import random
import statistics
import sys
import time
from pathlib import Path
from typing import Dict, List, Sequence, Tuple

sys.path.insert(0, str(Path(__file__).resolve().parent))

from bench_quality import Record, generated_log, with_typo  # noqa: E402
from quillomar import Autocomplete, IndexBuilder  # noqa: E402
from quillomar.normalization import get_normalization  # noqa: E402
from quillomar.sample import sample_records  # noqa: E402
from quillomar.storage import StoredIndex  # noqa: E402

WAYS = ("start", "later", "reordered")
Query = Tuple[str, str, str, str]  # way, typed, meant term, its best video


def simulate(records: Sequence[Record], users: int, seed: int) -> List[Query]:
    """Each way: ``users`` users each type a term drawn by its count, to a
    random length (at least two characters), half with one typo."""
    normalize = get_normalization("default")
    totals: Dict[str, int] = collections.Counter()
    per_video: Dict[str, Dict[int, int]] = collections.defaultdict(collections.Counter)
    for term, video, count in records:
        t = normalize(term)
        totals[t] += count
        per_video[t][video] += count
    best = {t: str(min(v.items(), key=lambda kv: (-kv[1], kv[0]))[0]) for t, v in per_video.items()}
    rng = random.Random(seed)
    queries: List[Query] = []
    for way in WAYS:
        pool = [t for t in best if way == "start" or " " in t]
        weights = list(itertools.accumulate(totals[t] for t in pool))
        for _ in range(users):
            term = pool[bisect.bisect(weights, rng.random() * weights[-1])]
            words = term.split(" ")
            if way == "later":
                words = words[rng.randrange(1, len(words)) :]
            elif way == "reordered":
                while len(set(words)) > 1 and " ".join(words) == term:
                    rng.shuffle(words)
            text = " ".join(words)
            if rng.random() < 0.5 and len(text) >= 3:
                text = with_typo(text, rng)[0]
            typed = text[: rng.randint(min(2, len(text)), len(text))]
            queries.append((way, typed, term, best[term]))
    return queries


def measure(ac: Autocomplete, queries: Sequence[Query], **options: object) -> Dict[str, object]:
    hits: Dict[str, List[int]] = collections.defaultdict(list)
    suggested: Dict[str, List[int]] = collections.defaultdict(list)
    times = []
    for way, typed, term, video in queries:
        start = time.perf_counter_ns()
        found = ac.complete(typed, **options)  # type: ignore[arg-type]
        times.append((time.perf_counter_ns() - start) / 1000)
        hits[way].append(video in [r.video for r in found.results[:10]])
        suggested[way].append(term in [s.text for s in found.suggestions[:10]])
    times.sort()
    out: Dict[str, object] = {w: statistics.mean(hits[w]) for w in WAYS}
    out["all"] = statistics.mean(h for w in WAYS for h in hits[w])
    out.update({f"sugg {w}": statistics.mean(suggested[w]) for w in WAYS})
    out["median us"] = statistics.median(times)
    out["p99 us"] = times[int(0.99 * (len(times) - 1))]
    return out


def run(name: str, records: List[Record], users: int) -> None:
    started = time.perf_counter()
    builder = IndexBuilder(normalization="default")
    builder.add_records(records)
    data = builder.to_bytes(20)
    index_time = time.perf_counter() - started
    started = time.perf_counter()
    sections = builder.term_sections()
    terms_time = time.perf_counter() - started
    added = sum(len(b) for _, b in sections)
    print(
        f"{name}: {len(builder):,} terms; index {len(data):,} bytes in {index_time:.2f} s; "
        f"term sections {added:,} bytes ({added / len(data):.2f}x) in {terms_time:.2f} s "
        f"({terms_time / index_time:.2f}x of the index build)"
    )
    from _quillomar import PrefixSearch

    stored = StoredIndex(PrefixSearch.from_bytes(data), None, builder.build_terms())
    ac = Autocomplete(stored, normalization="default")
    queries = simulate(records, users, seed=7)
    rows = [
        ("start only", measure(ac, queries, any_word=False)),
        ("any word, typed-first", measure(ac, queries, fill="typed-first")),
        ("any word, start-first", measure(ac, queries, fill="start-first")),
    ]
    keys = list(rows[0][1])
    print("| setting | " + " | ".join(keys) + " |")
    print("|---" * (len(keys) + 1) + "|")
    for label, row in rows:
        print(f"| {label} | " + " | ".join(f"{row[k]:.3f}" for k in keys) + " |")
    print()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--users", type=int, default=2000, help="users per way (default 2000)")
    parser.add_argument(
        "--terms", type=int, default=0, help="also a generated log of this many terms"
    )
    args = parser.parse_args()
    run("sample", list(sample_records()), args.users)
    if args.terms:
        run(f"generated {args.terms:,}", generated_log(args.terms), args.users)


if __name__ == "__main__":
    main()
