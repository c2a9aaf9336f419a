"""Measures one library in the current process: build time, resident memory
of the built structure, per-query times and the result sets.

Run once per library in a fresh child process, so that what one library
leaves in the heap does not count against the next.
"""

from __future__ import annotations

import ctypes
import dataclasses
import gc
import time


def _malloc_trim() -> None:
    # Hands freed heap pages back to the kernel so that the resident size
    # shows what is alive, not what an allocator kept cached.
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass


def resident_bytes() -> int:
    gc.collect()
    _malloc_trim()
    with open("/proc/self/statm") as f:
        pages = int(f.read().split()[1])
    import resource

    return pages * resource.getpagesize()


def _timed(calls, fn, warmup: int):
    """Runs fn on every item of `calls`; returns (ns per call, results).

    The collector is paused during the loop: its pauses depend on what the
    other libraries allocated, not on the library being measured.
    """
    for item in calls[:warmup]:
        fn(item)
    times = []
    results = []
    clock = time.perf_counter_ns
    gc.collect()
    gc.disable()
    cpu_start = time.process_time_ns()
    try:
        for item in calls:
            start = clock()
            found = fn(item)
            times.append(clock() - start)
            results.append(found)
    finally:
        cpu_ns = time.process_time_ns() - cpu_start
        gc.enable()
    return times, results, cpu_ns


def _as_set(found):
    """Word -> distance (None where the library gives no distance)."""
    out = {}
    for entry in found:
        if isinstance(entry, tuple):
            out[entry[0]] = entry[1]
        else:
            out[entry] = None
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
        "title": peer.title,
        "version": peer.version(),
        "build_s": build_s,
        "memory_bytes": max(0, after - before),
        "queries": len(queries),
        "search": {},
        "complete": None,
    }
    for k in peer.ks:
        times, found, cpu_ns = _timed(queries, lambda q: peer.search(state, q, k), warmup)
        results = [peer.pairs(f) for f in found]
        sets = [_as_set(r) for r in results]
        # Queries whose answer named a word more than once.
        repeats = [i for i, (r, found) in enumerate(zip(results, sets)) if len(r) != len(found)]
        report["search"][k] = {
            "times_ns": times,
            "cpu_ns": cpu_ns,
            "results": sets,
            "repeats": repeats,
        }
    if peer.autocomplete:
        times, results, cpu_ns = _timed(
            workload.prefixes, lambda p: peer.complete(state, p, autocomplete_limit), warmup
        )
        report["complete"] = {
            "times_ns": times,
            "cpu_ns": cpu_ns,
            "counts": [len(r) for r in results],
        }
    extra = getattr(peer, "extra_measurements", None)
    if extra is not None:
        report["extra"] = extra(state, workload)
    return report
