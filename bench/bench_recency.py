"""Recency: do decayed counts find what people search for now?

A year of search log whose popularity shifts: for 300 days people search
as bench_quality's generated log says; in the last 65 days the terms'
popularity is reshuffled and, within each term, the least-clicked video
becomes the most-clicked (a new video took over). The old era has four
times the new era's traffic, so all-time counts still favour what was
popular then.

Two indexes are built from the same timestamped rows, both with the
default normalisation: one from the all-time counts, one with
``half_life`` decay (as-of: the newest row). Simulated users type the
terms of the last week's traffic (bench_quality's typing model, typos
included) and a query succeeds when the video most clicked in that week is
among Autocomplete's first 10. Reports success@10 and MRR per typed length
for both. It asserts nothing.

Run:  PYTHONPATH=build/dev:python python bench/bench_recency.py [--terms N]
          [--users N] [--half-life 14d]
"""

from __future__ import annotations

import argparse
import os
import random
import sys
import time
from typing import Dict, List, Tuple

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import pyarrow as pa  # noqa: E402

from bench_quality import BUCKETS, SEED, evaluate, generated_log, simulate  # noqa: E402
from quillomar import Autocomplete, IndexBuilder  # noqa: E402

DAY = 86400
START = 1_735_689_600  # 2025-01-01T00:00:00Z
OLD_DAYS, NEW_DAYS = 300, 65
NEW_SHARE = 0.25  # the new era's traffic against the old era's

Row = Tuple[str, int, int, int]  # term, video, count, Unix seconds


def shifting_log(terms: int, seed: int = SEED) -> Tuple[List[Row], List[Tuple[str, int, int]]]:
    """(every timestamped row, the last week's (term, video, count))."""
    rng = random.Random(seed)
    old = generated_log(terms, seed)
    by_term: Dict[str, List[Tuple[int, int]]] = {}
    for term, video, count in old:
        by_term.setdefault(term, []).append((video, count))
    names = list(by_term)
    totals = [sum(c for _, c in by_term[t]) for t in names]
    shuffled = totals[:]
    rng.shuffle(shuffled)
    rows: List[Row] = []
    recent: List[Tuple[str, int, int]] = []
    for term, new_total in zip(names, shuffled):
        videos = by_term[term]
        for video, count in videos:
            for part in _split(count, 3):
                day = rng.randrange(OLD_DAYS)
                rows.append((term, video, part, START + day * DAY + rng.randrange(DAY)))
        # The new era: shares reversed, so the least-clicked video leads.
        counts = sorted((c for _, c in videos), reverse=True)
        order = sorted(videos, key=lambda vc: (vc[1], -vc[0]))
        scale = NEW_SHARE * new_total / max(1, sum(counts))
        for (video, _), share in zip(order, counts):
            count = max(1, round(share * scale))
            for part in _split(count, 3):
                day = OLD_DAYS + rng.randrange(NEW_DAYS)
                moment = START + day * DAY + rng.randrange(DAY)
                rows.append((term, video, part, moment))
                if day >= OLD_DAYS + NEW_DAYS - 7:
                    recent.append((term, video, part))
    return rows, recent


def _split(count: int, parts: int) -> List[int]:
    base, extra = divmod(count, parts)
    return [base + (1 if i < extra else 0) for i in range(parts) if base or i < extra]


def build(rows: List[Row], half_life: str | None) -> Tuple[Autocomplete, float]:
    started = time.perf_counter()
    builder = IndexBuilder(normalization="default", half_life=half_life)
    table = pa.table(
        {
            "term": [r[0] for r in rows],
            "video": [r[1] for r in rows],
            "count": pa.array([r[2] for r in rows], pa.uint32()),
            "ts": pa.array([r[3] for r in rows], pa.int64()),
        }
    )
    builder.add_arrow(table, time_column="ts" if half_life else None)
    index = builder.build()
    return Autocomplete(index, normalization=builder.normalization), time.perf_counter() - started


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--terms", type=int, default=20_000)
    parser.add_argument("--users", type=int, default=2_000)
    parser.add_argument("--half-life", default="14d")
    args = parser.parse_args()
    rows, recent = shifting_log(args.terms)
    queries = simulate(recent, args.users)
    print(
        f"log: {len(rows):,} timestamped rows over {OLD_DAYS + NEW_DAYS} days, "
        f"{args.terms:,} terms; {len(queries):,} queries typed from the last week's traffic"
    )
    results = {}
    for name, half_life in (
        ("all-time counts", None),
        (f"decayed ({args.half_life})", args.half_life),
    ):
        ac, seconds = build(rows, half_life)
        results[name] = evaluate(
            lambda text, ac=ac: [s.video for s in ac.complete(text).results], queries, repeat=1
        )
        print(f"built {name} in {seconds:.1f} s")
    columns = [b[0] for b in BUCKETS] + ["all"]
    print()
    print("success@10 by typed length (MRR in brackets)")
    print(f"{'':18}" + "".join(f"{c:>16}" for c in columns))
    for name, result in results.items():
        cells = "".join(
            f"{result['success'][c]:>9.3f} ({result['mrr'][c]:.3f})"  # type: ignore[index]
            for c in columns
        )
        print(f"{name:18}{cells}")
    print(f"{'queries':18}" + "".join(f"{results[name]['count'][c]:>16,}" for c in columns))  # type: ignore[index]


if __name__ == "__main__":
    main()
