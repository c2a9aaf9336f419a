"""Keeps the search-box quality benchmark (bench/bench_quality.py) from
rotting: its typos are the ones it claims, and a tiny run completes. Nothing
here is timed."""

import os
import random
import sys

import pytest

BENCH = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench")
sys.path.insert(0, BENCH)

import bench_quality  # noqa: E402
import quillomar  # noqa: E402
from reference import levenshtein  # noqa: E402


@pytest.mark.parametrize("term", ["guitar chords", "café crème", "ab", "zz top"])
def test_each_typo_is_the_kind_it_claims(term):
    rng = random.Random(3)
    seen = set()
    for _ in range(300):
        typed, kind = bench_quality.with_typo(term, rng)
        seen.add(kind)
        distance = levenshtein(term, typed)
        if kind == "swapped letters":
            assert distance == 2 and sorted(typed) == sorted(term)
        elif kind == "capital letter":
            assert typed.lower() == term.lower() and typed != term
        elif kind == "accent left out":
            assert distance == 1 and quillomar.get_normalization("fold-accents")(
                typed
            ) == quillomar.get_normalization("fold-accents")(term)
        else:
            assert distance == 1, (kind, typed)
    assert ("accent left out" in seen) == ("é" in term)


def test_a_tiny_run_measures_every_variant():
    words = [f"{a}{b}{c}" for a in "abcdefgh" for b in "aeiou" for c in "lmnrst"]
    records = bench_quality.generated_log(300, words=words)
    assert records == bench_quality.generated_log(300, words=words)  # deterministic
    queries = bench_quality.simulate(records, users=30)
    assert queries and all(q.length >= 2 for q in queries)
    answers = bench_quality.variants(records)
    answers.pop("_ac")
    results = {
        "tiny": {
            name: bench_quality.evaluate(answer, queries, repeat=1)
            for name, answer in answers.items()
        }
    }
    table = bench_quality.report(results)
    assert "success@10, autocomplete" in table and "MRR, raw+prefix" in table
    for r in results["tiny"].values():
        assert 0.0 <= r["success"]["all"] <= 1.0 and r["mrr"]["all"] <= r["success"]["all"]
