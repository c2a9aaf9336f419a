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

from typing import Any, Dict, List, NamedTuple


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
    lengths = np.fromiter(map(len, terms), dtype=np.int64, count=n)
    text = np.frombuffer("".join(terms).encode("utf-32-le"), dtype="<u4")
    offsets = np.zeros(n, dtype=np.int64)
    np.cumsum(lengths[:-1], out=offsets[1:])

    # Common prefix with the previous term, one character position per round
    # over the pairs that still agree: total work is the sum of the common
    # prefix lengths.
    common = np.zeros(n, dtype=np.int64)
    if n > 1:
        left = offsets[:-1]
        right = offsets[1:]
        shorter = np.minimum(lengths[:-1], lengths[1:])
        active = np.nonzero(shorter > 0)[0]
        depth = 0
        while active.size:
            same = text[left[active] + depth] == text[right[active] + depth]
            active = active[same]
            depth += 1
            common[active + 1] = depth
            active = active[shorter[active] > depth]

    # Nodes in generation order: term 0's new nodes by depth, then term 1's...
    new_nodes = lengths - common  # >= 1: a sorted successor is never a prefix
    total = int(new_nodes.sum())
    first = np.cumsum(new_nodes) - new_nodes
    node_term = np.repeat(np.arange(n, dtype=np.int64), new_nodes)
    node_depth = np.arange(total, dtype=np.int64)
    node_depth -= np.repeat(first - common - 1, new_nodes)

    # Breadth-first order; depths fit 16 bits for any sane term, which lets
    # numpy's stable sort run as a radix sort.
    depth_key = (node_depth.astype(np.uint16) if int(lengths.max()) < 65536
                 else node_depth)
    order = np.argsort(depth_key, kind="stable")
    number = np.empty(total, dtype=np.int64)  # generation index -> node - 1
    number[order] = np.arange(total, dtype=np.int64)

    # Parents, in generation order, as node numbers (root 0).
    parents = np.empty(total, dtype=np.int64)
    parents[1:] = number[:-1] + 1  # the previous node of the same term...
    heads = first  # ...except for each term's first new node:
    head_depth = common + 1
    keys = node_depth[order] * n + node_term[order]
    wanted = (head_depth - 1) * n + np.arange(n, dtype=np.int64)
    found = np.searchsorted(keys, wanted, side="right")  # node number (root 0)
    parents[heads] = np.where(head_depth > 1, found, 0)

    node_count = total + 1
    per_node = np.bincount(parents, minlength=node_count)
    shifts = np.zeros(node_count, dtype=np.int64)
    np.cumsum(per_node[:-1], out=shifts[1:])

    labels = text[offsets[node_term] + node_depth - 1][order]
    child_labels = [""]
    child_labels.extend(labels.view("<U1").tolist())

    ends = number[first + new_nodes - 1] + 1
    return Layout(shifts.tolist(), child_labels, ends.tolist())
