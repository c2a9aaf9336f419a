"""Trie layout: from a sorted list of distinct terms to the node arrays.

Both functions number nodes breadth-first: the root is node 0, then every
node at depth 1, then depth 2, and so on; within one depth the nodes come in
code point order of the prefixes they spell. Consequences the index relies on:

* every child has a larger number than its parent, so the bottom-up fold of
  video lists at build time sees finished children;
* a node's children are consecutive numbers, so the child slot array is
  simply ``[1, 2, ..., N - 1]`` and a node's slot range starts at
  ``first_child - 1``; a leaf gets an empty range (its shift equals the next
  node's shift);
* the parent numbers of nodes 1..N-1 never decrease.

The numpy path and the pure-Python path compute the same arrays by different
means (sorted-neighbour common prefixes against a dict-of-dicts trie walked
breadth-first); the tests hold them to each other.
"""

from __future__ import annotations

from typing import Any, Dict, List, NamedTuple, Tuple


class Layout(NamedTuple):
    """The shape of the trie for a list of sorted, distinct terms."""

    node_shifts: List[int]
    """First child slot of each node (slots of node v end at entry v+1)."""
    child_labels: List[str]
    """The one-character label on the edge into each node; '' for the root."""
    term_nodes: List[int]
    """For the i-th term, the node at which it ends."""

    @property
    def node_count(self) -> int:
        return len(self.child_labels)


def layout_pure(terms: List[str]) -> Layout:
    """Lay out the trie with plain dicts.

    REQUIRES: terms sorted, distinct, non-empty, none containing U+0000.
    """
    # A node is a dict from label to child node; the key '' (never a label)
    # holds the index of the term that ends there.
    root: Dict[str, Any] = {}
    for index, term in enumerate(terms):
        node = root
        for ch in term:
            child = node.get(ch)
            if child is None:
                child = node[ch] = {}
            node = child
        node[""] = index

    shifts: List[int] = []
    labels: List[str] = [""]
    term_nodes = [0] * len(terms)
    queue: List[Dict[str, Any]] = [root]
    position = 0
    while position < len(queue):
        node = queue[position]
        # Children get the next free numbers; the first free number minus one
        # is the first child slot, also for a leaf (an empty range).
        shifts.append(len(queue) - 1)
        for key in sorted(node):
            if key == "":
                term_nodes[node[key]] = position
            else:
                labels.append(key)
                queue.append(node[key])
        position += 1
    return Layout(shifts, labels, term_nodes)


def _encode(joined: str) -> Tuple[Any, int, str]:
    """The text in the narrowest fixed-width encoding that holds it, as a
    uint8 array followed by 8 zero bytes (so that an 8-byte load at any
    character position stays inside it), the width and the codec."""
    import numpy as np

    try:
        raw, width, codec = joined.encode("latin-1"), 1, "latin-1"
    except UnicodeEncodeError:
        raw, width, codec = joined.encode("utf-16-le"), 2, "utf-16-le"
        if len(raw) != 2 * len(joined):  # surrogate pairs: not fixed width
            raw, width, codec = joined.encode("utf-32-le"), 4, "utf-32-le"
    return np.frombuffer(raw + bytes(8), dtype=np.uint8), width, codec


def _common_prefixes(buf: Any, width: int, offsets: Any, lengths: Any) -> Any:
    """For each term, the length of its common prefix with the term before
    (0 for the first).

    Compares 8 bytes (8 // width characters) per round over the pairs that
    still agree; a round's loads may run past a term's end, so every
    result is capped by the shorter term's length.
    """
    import numpy as np

    n = len(offsets)
    common = np.zeros(n, dtype=np.int64)
    if n < 2:
        return common
    step = 8 // width
    # Byte i of `words` is the 8 bytes starting at byte i of the text (an
    # overlapping, unaligned view; nothing is copied).
    words = np.ndarray(shape=(len(buf) - 7,), dtype="<u8", buffer=buf, strides=(1,))
    left = offsets[:-1] * width
    right = offsets[1:] * width
    shorter = np.minimum(lengths[:-1], lengths[1:])
    active = np.flatnonzero(shorter > 0)
    depth = 0
    while active.size:
        at = depth * width
        diff = words[left[active] + at] ^ words[right[active] + at]
        differ = diff != 0
        done = active[differ]
        if done.size:
            diff = diff[differ]
            lowest = diff & (~diff + np.uint64(1))  # lowest set bit
            # Little-endian: the first differing character holds it. A power
            # of two converts to float exactly.
            bit = np.log2(lowest.astype(np.float64)).astype(np.int64)
            common[done + 1] = np.minimum(depth + bit // (8 * width), shorter[done])
        active = active[~differ]
        depth += step
        common[active + 1] = np.minimum(depth, shorter[active])
        active = active[shorter[active] > depth]
    return common


def layout_numpy(terms: List[str]) -> Layout:
    """Lay out the trie with vectorised numpy operations.

    In sorted order, the prefixes of term i up to its common prefix with term
    i-1 already have nodes; term i adds one node for every longer prefix of
    its own. A node is therefore named by (introducing term, depth), and the
    nodes are generated term by term. A stable sort of that sequence by depth
    alone gives the breadth-first numbering (within a depth, term order is
    code point order of the prefixes). A node's parent is the previous node
    of the same term, except for the first node a term adds: its parent is
    the depth d-1 node with the largest term index not above its own.

    REQUIRES: terms sorted, distinct, non-empty, none containing U+0000.
    """
    import numpy as np

    n = len(terms)
    if n == 0:
        return Layout([0], [""], [])
    # U+0000 (never inside a term) separates the terms, so their offsets
    # and lengths come from the text itself.
    buf, width, codec = _encode("\x00".join(terms))
    char_type = {1: np.uint8, 2: np.dtype("<u2"), 4: np.dtype("<u4")}[width]
    text = buf[: len(buf) - 8].view(char_type)
    offsets = np.empty(n, dtype=np.int64)
    offsets[0] = 0
    offsets[1:] = np.flatnonzero(text == 0) + 1
    lengths = np.empty(n, dtype=np.int64)
    lengths[:-1] = offsets[1:] - offsets[:-1] - 1
    lengths[-1] = len(text) - offsets[-1]
    common = _common_prefixes(buf, width, offsets, lengths)

    # Nodes in generation order: term 0's new nodes by depth, then term 1's...
    new_nodes = lengths - common  # >= 1: a sorted successor is never a prefix
    total = int(new_nodes.sum())
    first = np.cumsum(new_nodes) - new_nodes
    node_term = np.repeat(np.arange(n, dtype=np.int64), new_nodes)
    node_depth = np.arange(total, dtype=np.int64)
    node_depth -= np.repeat(first - common - 1, new_nodes)

    # Breadth-first order; depths fit 16 bits for any sane term, which lets
    # numpy's stable sort run as a radix sort.
    max_depth = int(lengths.max())
    depth_key = node_depth.astype(np.uint16) if max_depth < 65536 else node_depth
    order = np.argsort(depth_key, kind="stable")
    number = np.empty(total, dtype=np.int64)  # generation index -> node - 1
    number[order] = np.arange(total, dtype=np.int64)

    # Parents, in generation order, as node numbers (root 0).
    parents = np.empty(total, dtype=np.int64)
    parents[1:] = number[:-1] + 1  # the previous node of the same term...
    # ...except for each term's first new node, whose parent is the last
    # node at depth common[i] introduced by a term up to i: a search over
    # the nodes in breadth-first order keyed by (depth, term). Small keys
    # keep the searched array compact.
    key_type: Any = np.int32 if (max_depth + 1) * n < 2**31 else np.int64
    per_depth = np.bincount(node_depth, minlength=max_depth + 1)
    keys = np.repeat(np.arange(max_depth + 1, dtype=key_type) * n, per_depth)
    keys += node_term[order].astype(key_type)
    # Terms whose first new node's parent is not the root, in (depth, term)
    # order: sorted needles make the search several times faster.
    heads = np.flatnonzero(common)
    head_depth = common[heads]
    heads = heads[
        np.argsort(
            head_depth.astype(np.uint16) if max_depth < 65536 else head_depth,
            kind="stable",
        )
    ]
    wanted = common[heads].astype(key_type) * n + heads.astype(key_type)
    parents[first] = 0
    parents[first[heads]] = np.searchsorted(keys, wanted, side="right")

    node_count = total + 1
    per_node = np.bincount(parents, minlength=node_count)
    shifts = np.zeros(node_count, dtype=np.int64)
    np.cumsum(per_node[:-1], out=shifts[1:])

    labels = text[offsets[node_term] + node_depth - 1][order]
    child_labels = [""]
    child_labels.extend(labels.tobytes().decode(codec))

    ends = number[first + new_nodes - 1] + 1
    return Layout(shifts.tolist(), child_labels, ends.tolist())
