"""Flat trie arrays for `PrefixSearch.from_internal_data_v2`, built in pure Python.

Used when the package offers no builder of its own. Nodes are numbered
breadth-first, siblings in label order, so every parent comes before its
children and the children of one node hold consecutive numbers: child slot s
holds node s + 1.
"""

from __future__ import annotations


def build_arrays(words, payload_of=None):
    """Returns (node_shifts, child_labels, payloads, child_transitions).

    `words` must be sorted and free of duplicates and empty strings.
    `payload_of(i)` gives the payload tuple of words[i] (default: (1, [], [])).
    """
    # levels[d] lists the nodes at depth d in lexicographic order, which is
    # breadth-first order within the level: (label, parent position in level
    # d - 1, word index or -1).
    levels = [[("", -1, -1)]]
    prev = ""
    for index, word in enumerate(words):
        if not word or (index and word <= prev):
            raise ValueError(f"words must be non-empty, sorted and unique: {prev!r} before {word!r}")
        common = 0
        limit = min(len(prev), len(word))
        while common < limit and prev[common] == word[common]:
            common += 1
        for depth in range(common + 1, len(word) + 1):
            if depth == len(levels):
                levels.append([])
            levels[depth].append((word[depth - 1], len(levels[depth - 1]) - 1, -1))
        last = levels[len(word)]
        label, parent, _ = last[-1]
        last[-1] = (label, parent, index)
        prev = word

    child_labels = []
    payloads = []
    child_counts = []
    for depth, level in enumerate(levels):
        if depth + 1 < len(levels):
            counts = [0] * len(level)
            for _, parent, _ in levels[depth + 1]:
                counts[parent] += 1
        else:
            counts = [0] * len(level)
        child_counts.extend(counts)
        for label, _, word_index in level:
            child_labels.append(label)
            if word_index < 0:
                payloads.append(None)
            elif payload_of is None:
                payloads.append((1, [], []))
            else:
                payloads.append(payload_of(word_index))

    node_shifts = []
    slot = 0
    for count in child_counts:
        node_shifts.append(slot)
        slot += count
    child_transitions = list(range(1, len(child_labels)))
    return node_shifts, child_labels, payloads, child_transitions
