"""Slow, plainly written references that the native search is checked
against: edit distance, the matching walk and the video ranking. Small
tries only; each follows the algorithm's order of operations step by step.
"""

from __future__ import annotations

from typing import List, Tuple


def levenshtein(a: str, b: str) -> int:
    prev = list(range(len(b) + 1))
    for i, ca in enumerate(a, 1):
        cur = [i]
        for j, cb in enumerate(b, 1):
            cur.append(min(prev[j - 1] + (ca != cb), prev[j] + 1, cur[j - 1] + 1))
        prev = cur
    return prev[-1]


def reference_matches(a, query: str, bound: int, terminal_only: bool) -> List[Tuple[str, int, int]]:
    """(text, node, distance) of every recorded node, in walk order: a plain
    recursive walk with whole rows (fine for the small tries of the tests)."""
    q = list(query)
    n = len(q)
    out: List[Tuple[str, int, int]] = []
    term = a.terminal
    shifts, trans, labels = a.node_shifts, a.child_transitions, a.child_labels

    def dfs(k: int, d: int, prev: List[int], text: str) -> None:
        start = shifts[k]
        end = shifts[k + 1] if k + 1 < len(shifts) else len(trans)
        for s in range(start, end):
            c = trans[s]
            lab = labels[c][:1]
            if not lab or lab == "\x00":
                continue
            cur = [d + 1]
            for j in range(1, n + 1):
                cur.append(min(prev[j - 1] + (lab != q[j - 1]), prev[j] + 1, cur[j - 1] + 1))
            if min(cur) > bound:
                continue
            if cur[n] <= bound and (not terminal_only or term[c]):
                out.append((text + lab, c, cur[n]))
            dfs(c, d + 1, cur, text + lab)

    dfs(0, 0, list(range(n + 1)), "")
    return out


def reference_ranking(
    a,
    payloads,
    terminal,
    ids,
    query,
    max_dist=1,
    limit=None,
    include_prefix_nodes=None,
    min_score=None,
):
    """The ranking written out plainly, in the same order of operations."""
    bound = min(max_dist, 65535)
    if include_prefix_nodes is None:
        nodes = reference_matches(a, query, bound, True) or reference_matches(
            a, query, bound, False
        )
    else:
        nodes = reference_matches(a, query, bound, not include_prefix_nodes)
    length = len(query)
    masses = {}
    total = 0.0
    for _, k, d in nodes:
        if d == 0:
            w = 1.0
        elif length == 0:
            w = 0.0
        else:
            w = (1.0 - d / length) * 0.05
        if d != 0 and not w > 0.0:
            continue
        if not terminal[k]:
            w = w * 0.85
        if payloads[k] is None:
            continue
        t, vids, counts = payloads[k]
        total = total + t * w
        for v, c in zip(vids, counts):
            masses[v] = masses.get(v, 0.0) + c * w
    if total <= 0.0:
        return []
    m = 0.01 if min_score is None else min_score
    scored = [(v, mass / total) for v, mass in masses.items() if mass / total >= m]
    scored.sort(key=lambda r: (-r[1], r[0]))
    if limit is not None:
        scored = scored[:limit]
    return [(str(ids[v]), s) for v, s in scored if v < len(ids)]
