"""Search-box quality: does the right video come up while people type?

Simulated users type popular terms (drawn by their counts) letter by
letter; half of them make one realistic typo somewhere in the term (a
neighbouring key, a dropped or doubled letter, two neighbours swapped, a
capital letter, an accent left out). Every prefix of what they type, from
two characters on, is a query. A query succeeds when the term's most-clicked
video is among the first 10 results; its reciprocal rank is 1/rank then,
else 0.

Three ways of answering are compared on the same queries:

  raw          PrefixSearch.fuzzy_match_video(text, limit=10) on an index of
               the terms as logged (the extension's defaults)
  raw+prefix   the same with include_prefix_nodes=True
  autocomplete quillomar.Autocomplete over an index built with the default
               normalisation, with its defaults

on two logs: the sample log shipped with the package, and a log of at least
200,000 terms generated deterministically from Debian's wamerican-huge word
list (installed with apt-get when missing). It reports success@10 and mean
reciprocal rank per typed length, and the median and p99 time per query;
--write also writes docs/quality.md and docs/quality.png. With --explore it
compares candidate Autocomplete settings instead (how the defaults were
chosen). It asserts nothing.

Run:  PYTHONPATH=build/dev:python python bench/bench_quality.py [--write]
"""

from __future__ import annotations

import argparse
import bisect
import collections
import gc
import itertools
import os
import random
import statistics
import sys
import time
import unicodedata
from pathlib import Path
from typing import Callable, Dict, List, Optional, Sequence, Tuple

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import quillomar  # noqa: E402
from common import load_words  # noqa: E402
from quillomar import Autocomplete, IndexBuilder  # noqa: E402
from quillomar.normalization import get_normalization  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
SEED = 1209
BUCKETS: Tuple[Tuple[str, int, int], ...] = (
    ("2", 2, 2),
    ("3", 3, 3),
    ("4", 4, 4),
    ("5-6", 5, 6),
    ("7-9", 7, 9),
    ("10+", 10, 10**9),
)

Record = Tuple[str, int, int]

# -- logs -------------------------------------------------------------------


def generated_log(
    terms_wanted: int, seed: int = SEED, words: Optional[List[str]] = None
) -> List[Record]:
    """A search log of ``terms_wanted`` distinct terms (after normalisation).

    Terms are one to three words; the first word follows a Zipf law (a few
    subjects have many continuations, as in real logs), term popularity
    another one over a shuffled order. Each term's searches go to one to
    four videos of its first word's pool, Zipf-split, with the odd click on
    an unrelated video; one term in twenty is also logged capitalised, as
    people type it.
    """
    rng = random.Random(seed)
    words = load_words(drop_apostrophes=True) if words is None else list(words)
    rng.shuffle(words)
    split = min(20000, len(words) // 6)
    heads = words[:split]
    tails = words[split : split * 6]
    head_weights = list(itertools.accumulate(1.0 / (r + 1) ** 0.9 for r in range(len(heads))))
    terms: Dict[str, None] = {}
    while len(terms) < terms_wanted:
        head = heads[bisect.bisect(head_weights, rng.random() * head_weights[-1])]
        shape = rng.random()
        if shape < 0.3:
            term = head
        elif shape < 0.8:
            term = f"{head} {rng.choice(tails)}"
        else:
            term = f"{head} {rng.choice(tails)} {rng.choice(tails)}"
        terms.setdefault(term)
    order = list(terms)
    rng.shuffle(order)
    head_rank = {h: i for i, h in enumerate(heads)}
    records: List[Record] = []
    for rank, term in enumerate(order):
        searches = int(2_000_000 / (rank + 1) ** 1.05) + 1
        head = term.split(" ", 1)[0]
        pool = 1 + head_rank[head] * 8
        videos = rng.randint(1, 4)
        share = searches
        for j in range(videos):
            part = share if j == videos - 1 else max(1, share * 2 // 3)
            share -= part
            video = pool + rng.randrange(8) if rng.random() > 0.05 else rng.randrange(200_000)
            if part > 0:
                records.append((term, video, part))
            if share <= 0:
                break
        if rng.random() < 0.05 and searches > 2:
            records.append((term.title(), pool, max(1, searches // 10)))
    return records


# -- typing -----------------------------------------------------------------

_ROWS = ("1234567890", "qwertyuiop", "asdfghjkl", "zxcvbnm")
_KEYS = {ch: (r, c) for r, row in enumerate(_ROWS) for c, ch in enumerate(row)}


def _neighbours(ch: str) -> List[str]:
    if ch not in _KEYS:
        return []
    r, c = _KEYS[ch]
    out = []
    for dr, dc in ((0, -1), (0, 1), (-1, 0), (-1, 1), (1, -1), (1, 0)):
        rr, cc = r + dr, c + dc
        if 0 <= rr < len(_ROWS) and 0 <= cc < len(_ROWS[rr]):
            out.append(_ROWS[rr][cc])
    return out


def _unaccented(ch: str) -> str:
    bare = "".join(c for c in unicodedata.normalize("NFD", ch) if not unicodedata.combining(c))
    return bare if bare != ch else ""


def with_typo(term: str, rng: random.Random) -> Tuple[str, str]:
    """(typed text, kind of typo) for one realistic typo in ``term``."""
    letters = [i for i, ch in enumerate(term) if ch.isalpha()]
    kinds: List[Tuple[str, List[int]]] = [
        ("neighbour key", [i for i in letters if _neighbours(term[i])]),
        ("dropped letter", letters),
        ("doubled letter", letters),
        (
            "swapped letters",
            [
                i
                for i in range(len(term) - 1)
                if term[i] != term[i + 1] and term[i] != " " and term[i + 1] != " "
            ],
        ),
        ("capital letter", [i for i in letters if term[i].upper() != term[i]]),
        ("accent left out", [i for i in letters if _unaccented(term[i])]),
    ]
    kinds = [(k, p) for k, p in kinds if p]
    kind, positions = rng.choice(kinds)
    i = rng.choice(positions)
    ch = term[i]
    if kind == "neighbour key":
        typed = term[:i] + rng.choice(_neighbours(ch)) + term[i + 1 :]
    elif kind == "dropped letter":
        typed = term[:i] + term[i + 1 :]
    elif kind == "doubled letter":
        typed = term[:i] + ch + term[i:]
    elif kind == "swapped letters":
        typed = term[:i] + term[i + 1] + ch + term[i + 2 :]
    elif kind == "capital letter":
        typed = term[:i] + ch.upper() + term[i + 1 :]
    else:
        typed = term[:i] + _unaccented(ch) + term[i + 1 :]
    return typed, kind


class Query:
    __slots__ = ("text", "target", "length", "typo")

    def __init__(self, text: str, target: str, typo: bool) -> None:
        self.text = text
        self.target = target
        self.length = len(text)
        self.typo = typo


def simulate(records: Sequence[Record], users: int, seed: int = SEED) -> List[Query]:
    """Every prefix (two characters on) that ``users`` simulated users type."""
    normalize = get_normalization("default")
    totals: Dict[str, int] = collections.Counter()
    per_video: Dict[str, Dict[int, int]] = collections.defaultdict(collections.Counter)
    for term, video, count in records:
        t = normalize(term)
        totals[t] += count
        per_video[t][video] += count
    terms = [t for t in totals if len(t) >= 2 and per_video[t]]
    # The most-clicked video; equal counts go to the lower id, as a reader
    # of the log would settle them.
    best = {t: str(min(per_video[t].items(), key=lambda kv: (-kv[1], kv[0]))[0]) for t in terms}
    weights = list(itertools.accumulate(totals[t] for t in terms))
    rng = random.Random(seed)
    queries: List[Query] = []
    for _ in range(users):
        term = terms[bisect.bisect(weights, rng.random() * weights[-1])]
        typo = rng.random() < 0.5
        typed = with_typo(term, rng)[0] if typo else term
        for length in range(2, len(typed) + 1):
            text = typed[:length]
            queries.append(Query(text, best[term], typo and text != term[:length]))
    return queries


# -- measuring --------------------------------------------------------------

Answer = Callable[[str], List[str]]


def evaluate(answer: Answer, queries: Sequence[Query], repeat: int = 3) -> Dict[str, object]:
    """success@10 and MRR per bucket and overall, and call times (us).

    Each query is timed ``repeat`` times and its fastest call kept: the
    machine is shared, and a scheduler pause is not the search's cost.
    """
    hits: Dict[str, List[float]] = collections.defaultdict(list)
    for q in queries:
        videos = answer(q.text)
        try:
            rr = 1.0 / (videos.index(q.target, 0, 10) + 1)
        except ValueError:
            rr = 0.0
        for name, lo, hi in BUCKETS:
            if lo <= q.length <= hi:
                hits[name].append(rr)
        hits["all"].append(rr)
    times = [float("inf")] * len(queries)
    clock = time.perf_counter_ns
    gc.disable()
    try:
        for _ in range(repeat):
            for i, q in enumerate(queries):
                start = clock()
                answer(q.text)
                elapsed = (clock() - start) / 1000.0
                if elapsed < times[i]:
                    times[i] = elapsed
    finally:
        gc.enable()
    times.sort()
    return {
        "success": {k: sum(1 for r in v if r > 0) / len(v) for k, v in hits.items()},
        "mrr": {k: sum(v) / len(v) for k, v in hits.items()},
        "count": {k: len(v) for k, v in hits.items()},
        "median_us": statistics.median(times),
        "p99_us": times[int(0.99 * (len(times) - 1))],
    }


def variants(records: Sequence[Record]) -> Dict[str, Answer]:
    raw_builder = IndexBuilder()
    raw_builder.add_records(records)
    raw = raw_builder.build()
    builder = IndexBuilder(normalization="default")
    builder.add_records(records)
    index = builder.build()
    ac = Autocomplete(index, normalization=builder.normalization)

    def raw_default(text: str) -> List[str]:
        return [v for v, _ in raw.fuzzy_match_video(text, 1, 10)]

    def raw_prefix(text: str) -> List[str]:
        return [v for v, _ in raw.fuzzy_match_video(text, 1, 10, True)]

    def autocomplete(text: str) -> List[str]:
        return [s.video for s in ac.complete(text).results]

    return {"raw": raw_default, "raw+prefix": raw_prefix, "autocomplete": autocomplete, "_ac": ac}  # type: ignore[dict-item]


def explore(name: str, records: Sequence[Record], queries: Sequence[Query]) -> None:
    """Candidate settings side by side (how the defaults were chosen)."""
    ac: Autocomplete = variants(records)["_ac"]  # type: ignore[assignment]
    candidates: List[Tuple[str, Dict[str, object]]] = []
    for one in (3, 4, 5):
        for two in (5, 6, 7, 8, 10, 99):
            if two <= one:
                continue
            steps = ((one, 1), (two, 2))
            candidates.append((f"k1@{one} k2@{two}", {"max_dist": _budget(steps)}))
    for score in (0.01, 0.001, 0.0001, 0.0):
        candidates.append((f"min_score={score}", {"min_score": score}))
    candidates.append(("no prefix nodes", {"include_prefix_nodes": False}))
    candidates.append(("one call, mixed", {}))
    print(f"\n{name}: {len(queries):,} queries")
    print(
        f"{'setting':22} {'all':>6} "
        + " ".join(f"{b:>6}" for b, _, _ in BUCKETS)
        + "   mrr    p99 us"
    )
    for label, overrides in candidates:

        def answer(text: str, o: Dict[str, object] = overrides) -> List[str]:
            return [s.video for s in ac.complete(text, **o).results]  # type: ignore[arg-type]

        if label == "one call, mixed":
            # Exact and edited matches scored together by the index, with
            # the same edits, prefix nodes and minimum score.
            def answer(text: str) -> List[str]:
                query = ac.normalization(text)
                return [
                    v
                    for v, _ in ac.index.fuzzy_match_video(
                        query, ac.edits_for(query), 10, True, 0.001
                    )
                ]

        r = evaluate(answer, queries, repeat=1)
        s = r["success"]
        assert isinstance(s, dict)
        m = r["mrr"]
        assert isinstance(m, dict)
        print(
            f"{label:22} {s['all']:6.3f} "
            + " ".join(f"{s[b]:6.3f}" for b, _, _ in BUCKETS)
            + f"  {m['all']:.3f}  {r['p99_us']:7.0f}"
        )


def _budget(steps: Tuple[Tuple[int, int], ...]) -> Callable[[int], int]:
    def budget(length: int) -> int:
        return quillomar.autocomplete.typing_max_dist(length, steps)

    return budget


# -- reporting --------------------------------------------------------------


def report(results: Dict[str, Dict[str, Dict[str, object]]]) -> str:
    out = []
    for log, by_variant in results.items():
        any_result = next(iter(by_variant.values()))
        counts = any_result["count"]
        assert isinstance(counts, dict)
        out.append(f"### {log}\n")
        header = ["", "all"] + [b for b, _, _ in BUCKETS]
        out.append("| " + " | ".join(header) + " | median | p99 |")
        out.append("|" + "---|" * (len(header) + 2))
        out.append(
            "| queries | "
            + " | ".join(f"{counts[k]:,}" for k in ["all"] + [b for b, _, _ in BUCKETS])
            + " | | |"
        )
        for metric, label in (("success", "success@10"), ("mrr", "MRR")):
            for variant, r in by_variant.items():
                values = r[metric]
                assert isinstance(values, dict)
                cells = [f"{values[k]:.3f}" for k in ["all"] + [b for b, _, _ in BUCKETS]]
                timing = (
                    f"{r['median_us']:.0f} us | {r['p99_us']:.0f} us"
                    if metric == "success"
                    else " | "
                )
                out.append(f"| {label}, {variant} | " + " | ".join(cells) + f" | {timing} |")
        out.append("")
    return "\n".join(out)


def plot(results: Dict[str, Dict[str, Dict[str, object]]], path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    names = [b for b, _, _ in BUCKETS]
    fig, axes = plt.subplots(2, len(results), figsize=(5.5 * len(results), 7), squeeze=False)
    for col, (log, by_variant) in enumerate(results.items()):
        for row, (metric, label) in enumerate(
            (("success", "success@10"), ("mrr", "mean reciprocal rank"))
        ):
            ax = axes[row][col]
            for variant, r in by_variant.items():
                values = r[metric]
                assert isinstance(values, dict)
                ax.plot(names, [values[b] for b in names], marker="o", label=variant)
            ax.set_ylim(0, 1)
            ax.set_xlabel("characters typed")
            ax.set_ylabel(label)
            ax.set_title(log)
            ax.grid(alpha=0.3)
            if row == 0 and col == 0:
                ax.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument(
        "--terms",
        type=int,
        default=200_000,
        help="distinct terms of the generated log (default: %(default)s)",
    )
    parser.add_argument(
        "--users", type=int, default=3000, help="simulated users per log (default: %(default)s)"
    )
    parser.add_argument(
        "--explore", action="store_true", help="compare candidate Autocomplete settings"
    )
    parser.add_argument(
        "--write", action="store_true", help="write docs/quality.md and docs/quality.png"
    )
    args = parser.parse_args()
    logs = {"sample log": list(quillomar.sample_records())}
    started = time.monotonic()
    logs[f"generated log ({args.terms:,} terms)"] = generated_log(args.terms)
    print(
        f"generated {len(logs[f'generated log ({args.terms:,} terms)']):,} "
        f"records in {time.monotonic() - started:.1f} s",
        file=sys.stderr,
    )
    results: Dict[str, Dict[str, Dict[str, object]]] = {}
    for name, records in logs.items():
        queries = simulate(records, args.users)
        if args.explore:
            explore(name, records, queries)
            continue
        answers = variants(records)
        answers.pop("_ac")
        results[name] = {v: evaluate(a, queries) for v, a in answers.items()}
    if args.explore:
        return
    table = report(results)
    print(table)
    if args.write:
        plot(results, ROOT / "docs" / "quality.png")
        doc = ROOT / "docs" / "quality.md"
        text = doc.read_text(encoding="utf-8") if doc.exists() else ""
        marker = "<!-- results -->"
        head = text.split(marker)[0] if marker in text else "# Search-box quality\n\n"
        doc.write_text(head + marker + "\n\n" + table + "\n", encoding="utf-8")


if __name__ == "__main__":
    main()
