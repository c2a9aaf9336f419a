"""Measures one library in the current process: build time, resident memory
of the built structure, per-query times and the result sets.

Run once per library in a fresh child process, so that what one library
leaves in the heap does not count against the next.
"""

from __future__ import annotations

import dataclasses
import time

from common import per_call, resident_bytes


def _as_set(found):
    """Word -> distance (None where the library gives no distance)."""
    out = {}
    for entry in found:
        word, distance = entry if isinstance(entry, tuple) else (entry, None)
        out[word] = distance
    return out


def measure(
    peer, workload, *, autocomplete_limit: int = 10, warmup: int = 100, sample=None
) -> dict:
    peer.setup(workload)
    # A throw-away build on a few words first: lazy imports and first-call
    # set-up land outside the measured build.
    peer.build(
        dataclasses.replace(workload, words=workload.words[:40], payloads=workload.payloads[:40])
    )
    before = resident_bytes()
    start = time.perf_counter()
    state = peer.build(workload)
    build_s = time.perf_counter() - start
    after = resident_bytes()

    queries = workload.queries
    limit = sample if sample is not None else peer.sample
    if limit is not None:
        queries = queries[:limit]
    report = {
        "name": peer.name,
        "version": peer.version(),
        "build_s": build_s,
        "memory_bytes": max(0, after - before),
        "queries": len(queries),
        "search": {},
        "complete": None,
    }
    for k in peer.ks:
        times, found, cpu_ns = per_call(lambda q: peer.search(state, q, k), queries, warmup)
        results = [peer.pairs(f) for f in found]
        sets = [_as_set(r) for r in results]
        # Queries whose answer named a word more than once.
        repeats = [i for i, (r, s) in enumerate(zip(results, sets)) if len(r) != len(s)]
        report["search"][k] = {
            "times_ns": times,
            "cpu_ns": cpu_ns,
            "results": sets,
            "repeats": repeats,
        }
    if peer.autocomplete:
        complete = lambda p: peer.complete(state, p, autocomplete_limit)  # noqa: E731
        times, results, cpu_ns = per_call(complete, workload.prefixes, warmup)
        report["complete"] = {
            "times_ns": times,
            "cpu_ns": cpu_ns,
            "counts": [len(r) for r in results],
        }
    extra = getattr(peer, "extra_measurements", None)
    if extra is not None:
        report["extra"] = extra(state, workload)
    return report
