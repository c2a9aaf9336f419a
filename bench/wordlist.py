"""The word list the benchmarks index, and its trie as flat arrays.

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


def trie_arrays(words: list[str]):
    """Breadth-first arrays (children of a node in consecutive slots, in
    label order): shifts, labels, slots, and per node the index of the word
    ending there or -1."""
    children: list[dict[str, int]] = [{}]
    ends = [-1]
    for wi, w in enumerate(words):
        v = 0
        for ch in w:
            nxt = children[v].get(ch)
            if nxt is None:
                nxt = len(children)
                children[v][ch] = nxt
                children.append({})
                ends.append(-1)
            v = nxt
        ends[v] = wi
    order = [0]
    label_of = {0: ""}
    for v in order:
        for ch in sorted(children[v]):
            c = children[v][ch]
            label_of[c] = ch
            order.append(c)
    new = {old: i for i, old in enumerate(order)}
    shifts, labels, slots, word_at = [], [], [], []
    for old in order:
        shifts.append(len(slots))
        labels.append(label_of[old])
        word_at.append(ends[old])
        slots.extend(new[children[old][ch]] for ch in sorted(children[old]))
    return shifts, labels, slots, word_at
