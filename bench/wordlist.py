"""The word list the benchmarks index, and its trie as the package lays it out.

Every word of Debian's wamerican-huge list (installed with apt-get when
missing), lower-cased, words containing an apostrophe dropped, duplicates
removed, sorted.
"""

from __future__ import annotations

import os
import subprocess

WORDS = "/usr/share/dict/american-english-huge"


def load_words() -> list[str]:
    if not os.path.exists(WORDS):
        # A new machine may have no package lists yet.
        subprocess.run(["apt-get", "update", "-qq"], check=True)
        subprocess.run(["apt-get", "install", "-y", "-qq", "wamerican-huge"], check=True)
    with open(WORDS, encoding="utf-8") as f:
        words = {w.strip().lower() for w in f}
    return sorted(w for w in words if w and "'" not in w)


def layout(words: list[str]):
    """The trie of `words` as the package's builder lays it out
    (breadth-first, children of a node in consecutive slots in label order),
    and per node the index in `words` of the word ending there or -1."""
    from quillomar import IndexBuilder

    builder = IndexBuilder()
    builder.set_totals(dict.fromkeys(words, 1))
    arrays = builder.arrays()
    shifts, labels, slots = arrays.node_shifts, arrays.child_labels, arrays.child_transitions
    index_of = {w: i for i, w in enumerate(words)}
    texts = [""] * len(labels)
    word_at = [-1] * len(labels)
    for v in range(len(labels)):  # parents come before their children
        end = shifts[v + 1] if v + 1 < len(shifts) else len(slots)
        for c in slots[shifts[v] : end]:
            texts[c] = texts[v] + labels[c]
            word_at[c] = index_of.get(texts[c], -1)
    return arrays, word_at


def trie_arrays(words: list[str]):
    """Shifts, labels, slots and word_at of layout(words)."""
    arrays, word_at = layout(words)
    return arrays.node_shifts, arrays.child_labels, arrays.child_transitions, word_at
