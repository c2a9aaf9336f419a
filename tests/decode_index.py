"""A small pure-Python reader of the stored index format, for tests.

decode(b) returns an Index with the eight fields in stored order. Payloads
are None or (total_count, video_ids, video_counts) tuples of ints/lists.
It checks only what it needs to read the bytes; a malformed string raises
ValueError.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import List, Optional, Tuple

Payload = Tuple[int, List[int], List[int]]


@dataclass
class Index:
    node_shifts: List[int]
    child_labels: List[str]
    child_transitions: List[int]
    payloads: List[Optional[Payload]]
    uuid_ids: List[bytes]
    int32_ids: List[int]
    id_mode: int  # 0 = UUID, 1 = int32
    is_terminal: List[bool]

    def lists(self) -> List[Optional[List[Tuple[int, int]]]]:
        """Each node's (video, count) pairs, None where the payload is absent."""
        return [None if p is None else list(zip(p[1], p[2])) for p in self.payloads]

    def totals(self) -> List[Optional[int]]:
        return [None if p is None else p[0] for p in self.payloads]


class _Reader:
    def __init__(self, data: bytes):
        self.data = data
        self.pos = 0

    def take(self, n: int) -> bytes:
        if self.pos + n > len(self.data):
            raise ValueError("unexpected end")
        out = self.data[self.pos : self.pos + n]
        self.pos += n
        return out

    def varint(self, wide: bool = False) -> int:
        first = self.take(1)[0]
        if first <= 250:
            return first
        width = {251: 2, 252: 4, 253: 8}.get(first)
        if width is None or (width == 8 and not wide):
            raise ValueError(f"bad integer marker {first}")
        return int.from_bytes(self.take(width), "little")

    def count(self) -> int:
        return self.varint(wide=True)

    def u32_seq(self) -> List[int]:
        return [self.varint() for _ in range(self.count())]

    def label(self) -> str:
        first = self.data[self.pos] if self.pos < len(self.data) else 0
        width = 1 if first < 0x80 else 2 if first < 0xE0 else 3 if first < 0xF0 else 4
        return self.take(width).decode("utf-8")


def decode(data: bytes) -> Index:
    r = _Reader(data)
    node_shifts = r.u32_seq()
    child_labels = [r.label() for _ in range(r.count())]
    child_transitions = r.u32_seq()
    payloads: List[Optional[Payload]] = []
    for _ in range(r.count()):
        tag = r.take(1)[0]
        if tag == 0:
            payloads.append(None)
        elif tag == 1:
            total = r.varint()
            payloads.append((total, r.u32_seq(), r.u32_seq()))
        else:
            raise ValueError(f"bad payload tag {tag}")
    uuid_ids = [r.take(16) for _ in range(r.count())]
    int32_ids = r.u32_seq()
    id_mode = r.varint()
    is_terminal = []
    for _ in range(r.count()):
        b = r.take(1)[0]
        if b > 1:
            raise ValueError(f"bad boolean {b}")
        is_terminal.append(bool(b))
    return Index(
        node_shifts,
        child_labels,
        child_transitions,
        payloads,
        uuid_ids,
        int32_ids,
        id_mode,
        is_terminal,
    )
