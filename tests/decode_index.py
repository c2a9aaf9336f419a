"""The stored form of an index read back for assertions: the reference
decoder of trie_bytes, with labels as one-character strings and helpers
for the payload lists."""

from __future__ import annotations

from dataclasses import dataclass
from typing import List, Optional, Tuple

import trie_bytes

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


def decode(data: bytes) -> Index:
    t = trie_bytes.decode(data)
    return Index(
        t.node_shifts,
        [chr(c) for c in t.child_labels],
        t.child_transitions,
        [None if p is None else (p[0], list(p[1]), list(p[2])) for p in t.payloads],
        t.uuid_ids,
        t.int32_ids,
        t.id_mode,
        t.is_terminal,
    )
