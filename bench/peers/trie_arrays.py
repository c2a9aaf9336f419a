"""Flat trie arrays for `PrefixSearch.from_internal_data_v2`, laid out by the
package's own builder. Nodes are numbered breadth-first, siblings in label
order, so every parent comes before its children and the children of one
node hold consecutive numbers: child slot s holds node s + 1.
"""

from __future__ import annotations

from wordlist import layout


def build_arrays(words, payload_of=None):
    """Returns (node_shifts, child_labels, payloads, child_transitions).

    `words` must be sorted and free of duplicates and empty strings.
    `payload_of(i)` gives the payload tuple of words[i] (default: (1, [], [])).
    """
    for index, word in enumerate(words):
        if not word or (index and word <= words[index - 1]):
            prev = words[index - 1] if index else ""
            raise ValueError(
                f"words must be non-empty, sorted and unique: {prev!r} before {word!r}"
            )
    arrays, word_at = layout(words)
    payloads = list(arrays.payloads)
    if payload_of is not None:
        payloads = [None if w < 0 else payload_of(w) for w in word_at]
    return arrays.node_shifts, arrays.child_labels, payloads, arrays.child_transitions
