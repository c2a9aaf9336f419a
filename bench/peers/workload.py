"""The benchmark's word list and query sets, reproducible from one seed."""

from __future__ import annotations

import os
import random
import shutil
import subprocess
from dataclasses import dataclass, field

HUGE_WORDLIST = "/usr/share/dict/american-english-huge"
HUGE_PACKAGE = "wamerican-huge"

# Characters that random edits insert or substitute. Plain ASCII letters: what a
# user mistypes on a keyboard; the word list's few accented letters stay
# reachable through the words themselves.
EDIT_ALPHABET = "abcdefghijklmnopqrstuvwxyz"


def ensure_huge_wordlist(path: str = HUGE_WORDLIST) -> str:
    """Returns `path`, installing Debian's word list package first if it is missing."""
    if os.path.exists(path):
        return path
    apt = shutil.which("apt-get")
    if apt is None:
        raise RuntimeError(
            f"{path} is missing and apt-get is not available to install {HUGE_PACKAGE}"
        )
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    subprocess.run([apt, "update", "-qq"], check=True, env=env)
    subprocess.run([apt, "install", "-y", "-qq", HUGE_PACKAGE], check=True, env=env)
    if not os.path.exists(path):
        raise RuntimeError(f"installing {HUGE_PACKAGE} did not provide {path}")
    return path


def normalise_words(lines) -> list[str]:
    """Lower-cases, drops possessive 's forms and blanks, removes duplicates; sorted."""
    words = set()
    for line in lines:
        word = line.strip().lower()
        if word and not word.endswith("'s"):
            words.add(word)
    return sorted(words)


def load_words(path: str) -> list[str]:
    with open(path, encoding="utf-8") as f:
        return normalise_words(f)


def random_edit(word: str, rng: random.Random) -> str:
    """One random insertion, deletion or substitution; never empties the word."""
    op = rng.randrange(3)
    if op == 1 and len(word) <= 1:
        op = 2
    if op == 0:
        i = rng.randrange(len(word) + 1)
        return word[:i] + rng.choice(EDIT_ALPHABET) + word[i:]
    i = rng.randrange(len(word))
    if op == 1:
        return word[:i] + word[i + 1 :]
    # A substitution by the same letter would be no edit at all.
    replacement = rng.choice(EDIT_ALPHABET.replace(word[i], "") or EDIT_ALPHABET)
    return word[:i] + replacement + word[i + 1 :]


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


def make_payloads(words: list[str], videos: int, rng: random.Random) -> list:
    """Per word, one to three random videos sharing a heavy-tailed count:
    (total, video numbers, counts) with the total the sum of the counts."""
    payloads = []
    for _ in words:
        ids = rng.sample(range(videos), rng.randint(1, 3))
        each = max(1, int(rng.paretovariate(1.2) * 3) // len(ids))
        payloads.append((each * len(ids), ids, [each] * len(ids)))
    return payloads


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
