"""A plainly written reference for matching terms word by word, in any
order: every assignment of typed words to term words is tried."""

from __future__ import annotations

from itertools import permutations
from typing import List, Optional, Sequence, Tuple

from reference import levenshtein

HOWS = ("start", "word", "order")


def box_distance(typed: str, word: str, prefix: bool) -> int:
    """Levenshtein distance, one neighbour swap of the typed word counting
    as one edit; as a prefix, the least over the word's prefixes."""
    targets = [word[:j] for j in range(len(word) + 1)] if prefix else [word]
    variants = [(typed, 0)] + [
        (typed[:k] + typed[k + 1] + typed[k] + typed[k + 2 :], 1)
        for k in range(len(typed) - 1)
        if typed[k] != typed[k + 1]
    ]
    return min(levenshtein(v, t) + cost for v, cost in variants for t in targets)


def match(
    words: Sequence[str], budgets: Sequence[int], finished: bool, term: str
) -> Optional[Tuple[str, bool]]:
    """(how, corrected) of ``term`` for the typed ``words``, or None."""
    term_words = [w for w in term.split(" ") if w]
    n = len(words)
    if n > len(term_words):
        return None

    def fits(i: int, k: int, bound: int) -> bool:
        prefix = i == n - 1 and not finished
        return box_distance(words[i], term_words[k], prefix) <= min(bound, budgets[i])

    for bound, corrected in ((0, False), (99, True)):
        if all(fits(i, i, bound) for i in range(n)):
            return "start", corrected
        for shift in range(1, len(term_words) - n + 1):
            if all(fits(i, shift + i, bound) for i in range(n)):
                return "word", corrected
        for to in permutations(range(len(term_words)), n):
            if all(fits(i, k, bound) for i, k in enumerate(to)):
                return "order", corrected
    return None


def matching_terms(
    words: Sequence[str], budgets: Sequence[int], finished: bool, terms: Sequence[str]
) -> List[Tuple[str, str, bool]]:
    found = []
    for term in terms:
        m = match(words, budgets, finished, term)
        if m is not None:
            found.append((term, *m))
    return found
