"""What a build must produce, written the obvious way: a dict of dicts
(term -> video number -> count), the trie's nodes as the sorted prefixes of
the terms, and each node's videos summed over its subtree, sorted and cut.
The native build engine is held to it.
"""

from __future__ import annotations

import uuid
from typing import Dict, List, Optional, Tuple

from trie_bytes import ID_MODE_INT32, ID_MODE_UUID, TrieData

U32_MAX = 4294967295


class Log:
    """The records and totals given to a builder, kept exactly."""

    def __init__(self) -> None:
        self.counts: Dict[str, Dict[int, int]] = {}  # term -> video number -> sum
        self.totals: Dict[str, int] = {}  # the totals set
        self.videos: Dict[object, int] = {}  # id -> number, by first appearance

    def add_records(self, records) -> None:
        for term, video, count in records:
            key = video if isinstance(video, int) else uuid.UUID(str(video)).bytes
            number = self.videos.setdefault(key, len(self.videos))
            per_term = self.counts.setdefault(term, {})
            per_term[number] = per_term.get(number, 0) + count

    def set_totals(self, totals) -> None:
        self.totals.update(totals)

    def terms(self) -> List[str]:
        return sorted(self.counts.keys() | self.totals.keys())

    def id_mode(self) -> Optional[str]:
        if not self.videos:
            return None
        return "int32" if isinstance(next(iter(self.videos)), int) else "uuid"


def ranked(sums: Dict[int, int]) -> List[Tuple[int, int]]:
    """(video, count) by count, largest first, equal counts by video number;
    counts stored saturated."""
    order = sorted(sums.items(), key=lambda item: (-item[1], item[0]))
    return [(video, min(count, U32_MAX)) for video, count in order]


def nodes(log: Log) -> List[str]:
    """The prefix each node spells, breadth-first: by length, then in code
    point order (the root spells '')."""
    prefixes = {term[:i] for term in log.terms() for i in range(len(term) + 1)}
    return sorted(prefixes | {""}, key=lambda p: (len(p), p))


def own_payloads(log: Log) -> Dict[str, Tuple[int, List[Tuple[int, int]]]]:
    """Each term's (total, ranked videos) before anything is folded in."""
    out = {}
    for term in log.terms():
        sums = log.counts.get(term, {})
        total = log.totals.get(term, min(sum(sums.values()), U32_MAX))
        out[term] = (total, ranked({v: min(c, U32_MAX) for v, c in sums.items()}))
    return out


def _shape(prefixes: List[str]) -> Tuple[List[int], List[int]]:
    """(node shifts, child slots): node k's children are the slots after
    those of the nodes numbered before it."""
    number = {p: k for k, p in enumerate(prefixes)}
    parents = [number[p[:-1]] for p in prefixes[1:]]
    shifts = [sum(1 for parent in parents if parent < k) for k in range(len(prefixes))]
    return shifts, list(range(1, len(prefixes)))


def _payload(total: int, videos: List[Tuple[int, int]]) -> Tuple[int, List[int], List[int]]:
    return (total, [v for v, _ in videos], [c for _, c in videos])


def _id_table(log: Log) -> List[bytes]:
    return [k.to_bytes(4, "little") if isinstance(k, int) else k for k in log.videos]


def arrays(log: Log, top_n: int) -> tuple:
    """The six construction arrays, as ``IndexBuilder.arrays`` lays them out."""
    prefixes = nodes(log)
    shifts, slots = _shape(prefixes)
    own = own_payloads(log)
    payloads = [_payload(*own[p]) if p in own else None for p in prefixes]
    return (shifts, [p[-1:] for p in prefixes], payloads, slots, _id_table(log), top_n)


def stored(log: Log, top_n: int) -> TrieData:
    """The built index: every node holds its subtree's total and the top_n
    videos of its own list and its children's (already cut) lists."""
    prefixes = nodes(log)
    own = own_payloads(log)
    totals = {p: own.get(p, (0, []))[0] for p in prefixes}
    sums = {p: dict(own.get(p, (0, []))[1]) for p in prefixes}
    folded = {}
    for prefix in reversed(prefixes):  # every child before its parent
        total, top = min(totals[prefix], U32_MAX), ranked(sums[prefix])[:top_n]
        folded[prefix] = _payload(total, top)
        if prefix:
            totals[prefix[:-1]] += total
            for video, count in top:
                parent = sums[prefix[:-1]]
                parent[video] = parent.get(video, 0) + count
    shifts, slots = _shape(prefixes)
    ints = log.id_mode() == "int32"
    return TrieData(
        node_shifts=shifts,
        child_labels=[ord(p[-1]) if p else 0 for p in prefixes],
        child_transitions=slots,
        payloads=[folded[p] for p in prefixes],
        uuid_ids=[] if ints else _id_table(log),
        int32_ids=list(log.videos) if ints else [],
        id_mode=ID_MODE_INT32 if ints else ID_MODE_UUID,
        is_terminal=[p in own for p in prefixes],
    )
