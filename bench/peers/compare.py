"""Result-set comparison between libraries, and the summary figures."""

from __future__ import annotations

import statistics


def levenshtein(a: str, b: str) -> int:
    """Plain edit distance (no transpositions), the slow obvious way: the
    arbiter when two libraries disagree."""
    prev = list(range(len(b) + 1))
    for i, ca in enumerate(a, 1):
        cur = [i]
        for j, cb in enumerate(b, 1):
            cur.append(min(prev[j - 1] + (ca != cb), prev[j] + 1, cur[j - 1] + 1))
        prev = cur
    return prev[-1]


def percentile(sorted_values, fraction: float) -> float:
    """Nearest-rank percentile of an already sorted list."""
    if not sorted_values:
        return float("nan")
    rank = max(1, int(-(-fraction * len(sorted_values) // 1)))
    return sorted_values[min(rank, len(sorted_values)) - 1]


def latency(times_ns) -> dict:
    values = sorted(times_ns)
    return {
        "median_us": statistics.median(values) / 1000 if values else float("nan"),
        "p99_us": percentile(values, 0.99) / 1000,
        "mean_us": statistics.fmean(values) / 1000 if values else float("nan"),
    }


def diff_results(queries, reference, other, k: int, max_examples: int = 5) -> dict:
    """Compares `other` with `reference` (lists of word -> distance dicts over
    the same leading queries). A differing word is judged by the plain
    distance: whoever is wrong about it is named."""
    n = min(len(reference), len(other))
    differing = 0
    distance_mismatches = 0
    examples = []
    wrong = {"reference": 0, "other": 0}
    for i in range(n):
        ref, got = reference[i], other[i]
        missing = sorted(set(ref) - set(got))
        extra = sorted(set(got) - set(ref))
        bad_distance = [
            w
            for w in set(ref) & set(got)
            if ref[w] is not None and got[w] is not None and ref[w] != got[w]
        ]
        if bad_distance:
            distance_mismatches += 1
        if not (missing or extra or bad_distance):
            continue
        differing += 1
        for word in missing:
            # In the reference only: the reference is wrong if it is too far.
            wrong["reference" if levenshtein(queries[i], word) > k else "other"] += 1
        for word in extra:
            wrong["other" if levenshtein(queries[i], word) > k else "reference"] += 1
        for word in bad_distance:
            true = levenshtein(queries[i], word)
            wrong["reference"] += ref[word] != true
            wrong["other"] += got[word] != true
        if len(examples) < max_examples:
            examples.append(
                {
                    "query": queries[i],
                    "missing": [(w, levenshtein(queries[i], w)) for w in missing[:6]],
                    "extra": [(w, levenshtein(queries[i], w)) for w in extra[:6]],
                    "missing_total": len(missing),
                    "extra_total": len(extra),
                    "bad_distance": [
                        (w, ref[w], got[w], levenshtein(queries[i], w))
                        for w in sorted(bad_distance)[:6]
                    ],
                }
            )
    return {
        "compared": n,
        "differing": differing,
        "distance_mismatches": distance_mismatches,
        "examples": examples,
        "wrong_words": wrong,
    }
