#!/usr/bin/env python3
"""Decoded against mapped loading of one index file, in the same run.

    python bench/bench_mapped.py LOG.csv [--top-n 20] [--queries 1000]
        [--workers 4] [--rounds 2]

Builds LOG.csv twice through the package's builder (the index alone, then
with the search section: build time of each), then, in fresh processes
taking turns (decoded, mapped, decoded, ...): the time from
``Autocomplete(path)`` until the first ``complete`` with edits has
answered (the decoded index derives its reversed-term trie then), the
resident memory after --queries typed queries, the per-keystroke latency
of ``complete`` (median and p99, file in the page cache, then "cold": the
file's pages dropped with posix_fadvise before the first 100 queries), and
the proportional share (Pss) of each of --workers forked workers after
--queries each. Typed queries are the prefixes of popular terms, half with
a typo. Also the size of each array of the section against the encoded
index. Reports figures, asserts nothing; `make_search_log.py` writes logs.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def _rss_kib() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def _pss_kib() -> int:
    with open("/proc/self/smaps_rollup") as f:
        for line in f:
            if line.startswith("Pss:"):
                return int(line.split()[1])
    return 0


def _typed(terms: list, count: int, seed: int) -> list:
    rng = random.Random(seed)
    out = []
    while len(out) < count:
        term = rng.choice(terms)
        if rng.random() < 0.5 and len(term) > 3:
            at = rng.randrange(1, len(term))
            term = term[:at] + "q" + term[at + 1 :]
        out.extend(term[:i] for i in range(1, len(term) + 1))
    return out[:count]


def _drop_cache(path: str) -> None:
    fd = os.open(path, os.O_RDONLY)
    try:
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    finally:
        os.close(fd)


def child(path: str, mapped: bool, queries: int, workers: int, cold: bool) -> None:
    import quillomar
    from quillomar.storage import load

    with open(path + ".terms") as f:
        terms = json.load(f)
    typed = _typed(terms, queries, 5)
    if cold:
        _drop_cache(path)
    base = _rss_kib()
    started = time.perf_counter()
    ac = quillomar.Autocomplete(load(path, mapped=mapped))
    ac.complete("guitr chords")  # the first search with edits
    ready = time.perf_counter() - started
    times = []
    for text in typed:
        t = time.perf_counter()
        ac.complete(text)
        times.append(time.perf_counter() - t)
    first = sorted(times[:100])
    warm = sorted(times[100:]) or first
    rss = _rss_kib() - base
    pss = []
    for _ in range(workers):
        r, w = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.close(r)
            for text in _typed(terms, queries, os.getpid()):
                ac.complete(text)
            os.write(w, str(_pss_kib()).encode())
            os._exit(0)
        os.close(w)
        pss.append(int(os.read(r, 64)))
        os.close(r)
        os.waitpid(pid, 0)
    print(
        json.dumps(
            {
                "ready_s": ready,
                "rss_mb": rss / 1024,
                "p50_us": statistics.median(warm) * 1e6,
                "p99_us": warm[int(0.99 * (len(warm) - 1))] * 1e6,
                "first100_p50_us": statistics.median(first) * 1e6,
                "first100_p99_us": first[int(0.99 * (len(first) - 1))] * 1e6,
                "worker_pss_mb": [p / 1024 for p in pss],
            }
        )
    )


def build(log: str, out: str, top_n: int, section: bool) -> float:
    from quillomar._atomic import write_atomic_with
    from quillomar.builder import IndexBuilder
    from quillomar.log_files import Columns, add_file
    from quillomar.storage import SEARCH_SECTION, append_metadata

    builder = IndexBuilder()
    add_file(builder, log, Columns("term", "video", "count"))
    videos = builder.video_count
    started = time.perf_counter()

    def fill(fd: int) -> None:
        if section:
            written, found = builder.write_with_section(fd, top_n, release=True)
            sections = [] if found is None else [(SEARCH_SECTION, found.write)]
        else:
            written, sections = builder.write_to(fd, top_n, release=True), []
        append_metadata(
            fd, written, normalization="none", top_n=top_n, videos=videos, sections=sections
        )

    write_atomic_with(out, fill)
    return time.perf_counter() - started


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("log")
    ap.add_argument("--top-n", type=int, default=20)
    ap.add_argument("--queries", type=int, default=1000)
    ap.add_argument("--workers", type=int, default=4)
    ap.add_argument("--rounds", type=int, default=2)
    ap.add_argument("--child", nargs=4, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        path, mapped, workers, cold = args.child
        child(path, mapped == "1", args.queries, int(workers), cold == "1")
        return

    import quillomar
    from quillomar.storage import SEARCH_SECTION

    with tempfile.TemporaryDirectory(dir=os.path.dirname(os.path.abspath(args.log))) as tmp:
        plain, path = os.path.join(tmp, "plain.idx"), os.path.join(tmp, "mapped.idx")
        old_build = build(args.log, plain, args.top_n, False)
        new_build = build(args.log, path, args.top_n, True)
        print(
            f"build (encode and trailer): index only {old_build:.2f} s, with section {new_build:.2f} s "
            f"({new_build / old_build:.2f}x)"
        )
        meta = quillomar.read_metadata(path)
        section = meta.section(SEARCH_SECTION)
        index_length = section.offset  # the index ends within the page before
        stored = quillomar.load(path)
        encoded = len(stored.to_bytes())
        print(
            f"encoded index {encoded / 1e6:.1f} MB, search section {section.length / 1e6:.1f} MB "
            f"({section.length / encoded:.2f}x); file {os.path.getsize(path) / 1e6:.1f} MB"
        )
        for name, size in stored.search.parts():
            if size:
                print(f"  {name:26s} {size / 1e6:9.1f} MB  {size / encoded:5.2f}x")
        del stored
        terms = [t for t, _, _ in quillomar.load(path).fuzzy_match("", 0)]
        counts = {}
        with open(args.log) as f:
            next(f)
            for line in f:
                term = line.rsplit(",", 2)[0]
                counts[term] = counts.get(term, 0) + 1
        popular = sorted(counts, key=counts.get, reverse=True)[:2000]
        with open(path + ".terms", "w") as f:
            json.dump(popular or terms, f)
        assert index_length
        rows = {False: [], True: []}
        for cold in (False, True):
            for _ in range(args.rounds):
                for mapped in (False, True):
                    cmd = [
                        sys.executable,
                        __file__,
                        args.log,
                        "--queries",
                        str(args.queries),
                        "--child",
                        path,
                        "1" if mapped else "0",
                        str(args.workers if not cold else 0),
                        "1" if cold else "0",
                    ]
                    out = subprocess.run(cmd, capture_output=True, text=True, check=True).stdout
                    rows[mapped].append((cold, json.loads(out)))
        file_mb = os.path.getsize(path) / 1e6
        for mapped in (False, True):
            label = "mapped " if mapped else "decoded"
            for cold, r in rows[mapped]:
                pss = ", ".join(f"{p:.0f}" for p in r["worker_pss_mb"])
                print(
                    f"{label} {'cold' if cold else 'warm'}: ready {r['ready_s'] * 1e3:8.1f} ms, "
                    f"RSS +{r['rss_mb']:6.1f} MB ({r['rss_mb'] / file_mb:.2f}x file), "
                    f"p50 {r['p50_us']:6.0f} us, p99 {r['p99_us']:6.0f} us, "
                    f"first 100: p50 {r['first100_p50_us']:6.0f} us p99 {r['first100_p99_us']:6.0f} us"
                    + (f", worker Pss MB [{pss}]" if pss else "")
                )


if __name__ == "__main__":
    main()
