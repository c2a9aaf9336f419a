"""Trie layout: from a sorted list of distinct terms to the node arrays.

The layout numbers nodes breadth-first: the root is node 0, then every
node at depth 1, then depth 2, and so on; within one depth the nodes come in
code point order of the prefixes they spell. Consequences the index relies on:

* every child has a larger number than its parent, so the bottom-up fold of
  video lists at build time sees finished children;
* a node's children are consecutive numbers, so the child slot array is
  simply ``[1, 2, ..., N - 1]`` and a node's slot range starts at
  ``first_child - 1``; a leaf gets an empty range (its shift equals the next
  node's shift);
* the parent numbers of nodes 1..N-1 never decrease.

This is the slow, obvious layout (a dict-of-dicts trie walked breadth-first)
that the native build engine is held to.
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
