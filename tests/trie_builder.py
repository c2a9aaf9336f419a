"""Test helpers: turn word lists into index arrays and encode indexes by
hand (the plain references to check the native search against are in
reference.py)."""

from __future__ import annotations

import random
from typing import Dict, Iterable, List, Optional, Sequence, Tuple

import trie_bytes
from _quillomar import PrefixSearch

Payload = Tuple[int, List[int], List[int]]


class Arrays:
    """The six arguments of from_internal_data_v2 (parents numbered before
    children, each node's children in consecutive slots)."""

    def __init__(self):
        self.node_shifts: List[int] = []
        self.child_labels: List[str] = []
        self.payloads: List[Optional[Payload]] = []
        self.child_transitions: List[int] = []
        self.video_index: List[bytes] = []
        self.video_top_n = 1 << 30

    def args(self):
        return (
            self.node_shifts,
            self.child_labels,
            self.payloads,
            self.child_transitions,
            self.video_index,
            self.video_top_n,
        )

    def build(self) -> PrefixSearch:
        return PrefixSearch.from_internal_data_v2(*self.args())

    @property
    def terminal(self) -> List[bool]:
        return [p is not None for p in self.payloads]


def arrays_from_words(
    words: Iterable[str],
    payloads: Optional[Dict[str, Payload]] = None,
    video_index: Sequence[bytes] = (),
    rng: Optional[random.Random] = None,
    depth_first: bool = False,
) -> Arrays:
    """A trie of `words`, numbered breadth-first (child slot s then holds
    node s + 1) or, with `depth_first`, in pre-order (slots then name nodes
    out of sequence). Each word's node is terminal and carries
    payloads[word] (default (1, [], [])). With `rng`, each node's children
    come in a shuffled order."""
    payloads = payloads or {}
    children: List[Dict[str, int]] = [{}]
    labels = [""]
    term: List[Optional[Payload]] = [None]
    for w in words:
        v = 0
        for ch in w:
            nxt = children[v].get(ch)
            if nxt is None:
                nxt = len(labels)
                children[v][ch] = nxt
                children.append({})
                labels.append(ch)
                term.append(None)
            v = nxt
        if v != 0:
            term[v] = payloads.get(w, (1, [], []))
    kids_of: List[List[int]] = []
    for v in range(len(labels)):
        kids = list(children[v].values())
        if rng is not None:
            rng.shuffle(kids)
        kids_of.append(kids)
    if depth_first:
        order, todo = [], [0]
        while todo:
            v = todo.pop()
            order.append(v)
            todo.extend(reversed(kids_of[v]))
    else:
        order = [0]
        for v in order:
            order.extend(kids_of[v])
    new_id = {old: new for new, old in enumerate(order)}
    a = Arrays()
    for old in order:
        a.node_shifts.append(len(a.child_transitions))
        a.child_labels.append(labels[old])
        a.payloads.append(term[old])
        a.child_transitions.extend(new_id[k] for k in kids_of[old])
    a.video_index = list(video_index)
    return a


# --- Hand-made binary indexes -------------------------------------------


def encode_index(
    node_shifts: Sequence[int],
    labels: Sequence,
    transitions: Sequence[int],
    payloads: Sequence[Optional[Payload]],
    is_terminal: Sequence[bool],
    *,
    uuid_ids: Sequence[bytes] = (),
    int32_ids: Sequence[int] = (),
    int32: bool = False,
) -> bytes:
    """The stored form of an index, field by field, with no checks: lengths
    and indices may be anything, so broken indexes can be made on purpose.
    A label is a one-character str, '' or an int code point."""
    return trie_bytes.encode(
        trie_bytes.TrieData(
            node_shifts=list(node_shifts),
            child_labels=[x if isinstance(x, int) else (ord(x) if x else 0) for x in labels],
            child_transitions=list(transitions),
            payloads=list(payloads),
            uuid_ids=list(uuid_ids),
            int32_ids=list(int32_ids),
            id_mode=trie_bytes.ID_MODE_INT32 if int32 else trie_bytes.ID_MODE_UUID,
            is_terminal=list(is_terminal),
        )
    )


def stored_index(
    a: Arrays, payloads: Optional[Sequence] = None, int32_ids: Sequence[int] = ()
) -> PrefixSearch:
    """`a` loaded through from_bytes, so payloads stay exactly as given (no
    propagation up the trie)."""
    return PrefixSearch.from_bytes(
        encode_index(
            a.node_shifts,
            a.child_labels,
            a.child_transitions,
            a.payloads if payloads is None else payloads,
            a.terminal,
            int32_ids=int32_ids,
            int32=True,
        )
    )


def panic_message(call) -> str:
    """The message of the PanicException that `call()` raises (the type is
    created on first use and not exported, so it is matched by name)."""
    try:
        call()
    except BaseException as e:  # noqa: B902 - PanicException is one
        assert type(e).__name__ == "PanicException", repr(e)
        assert not isinstance(e, Exception)
        (message,) = e.args
        return message
    raise AssertionError("no PanicException raised")
