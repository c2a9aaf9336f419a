"""The comparison's word list and query sets, reproducible from one seed."""

from __future__ import annotations

import random
from dataclasses import dataclass, field

from common import random_edit


def make_queries(words: list[str], count: int, rng: random.Random) -> list[str]:
    """Random indexed words with 0, 1 or 2 random edits (chosen uniformly)."""
    queries = []
    for _ in range(count):
        query = rng.choice(words)
        for _ in range(rng.randrange(3)):
            query = random_edit(query, rng)
        queries.append(query)
    return queries


def make_prefixes(words: list[str], count: int, rng: random.Random) -> list[str]:
    """Random prefixes of 2 to 6 characters of indexed words, with 0 or 1 random edit."""
    by_length = [w for w in words if len(w) >= 2]
    prefixes = []
    for _ in range(count):
        length = rng.randint(2, 6)
        word = rng.choice(by_length)
        while len(word) < length:
            word = rng.choice(by_length)
        prefix = word[:length]
        if rng.randrange(2):
            prefix = random_edit(prefix, rng)
        prefixes.append(prefix)
    return prefixes


def make_payloads(words: list[str], videos: int, rng: random.Random) -> list:
    """Per word, one to three random videos sharing a heavy-tailed count:
    (total, video numbers, counts) with the total the sum of the counts."""
    payloads = []
    for _ in words:
        ids = rng.sample(range(videos), rng.randint(1, 3))
        each = max(1, int(rng.paretovariate(1.2) * 3) // len(ids))
        payloads.append((each * len(ids), ids, [each] * len(ids)))
    return payloads


@dataclass
class Workload:
    source: str
    seed: int
    words: list[str]
    queries: list[str]
    prefixes: list[str]
    # Synthetic video statistics for the ranking comparison: per word, a
    # total count and a few (video number, count) pairs.
    videos: int = 0
    payloads: list = field(default_factory=list)
    video_top_n: int = 10


def build_workload(
    words: list[str],
    source: str,
    seed: int = 20240601,
    queries: int = 10_000,
    prefixes: int = 10_000,
    videos: int = 50_000,
) -> Workload:
    rng = random.Random(seed)
    return Workload(
        source=source,
        seed=seed,
        words=words,
        queries=make_queries(words, queries, rng),
        prefixes=make_prefixes(words, prefixes, rng),
        videos=videos,
        payloads=make_payloads(words, videos, rng),
    )
