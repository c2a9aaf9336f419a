"""Building indexes: from arrays, from records, from a search log.

arrays: from_internal_data_v2 on every word of wamerican-huge (1 to 8 videos
a word, top_n 50) from lists, numpy arrays and numpy payloads, and the share
spent in propagation (top_n 50 against top_n 0 on the same arrays).
records: IndexBuilder on random phrases, step by step, then bare terms.
log LOG.csv (from make_search_log.py): `quillomar build`, the Arrow path and
from_bytes, each in a process of its own; with --old-pythonpath the old path
alternates with the new. Times are the best runs' CPU time unless said.
"""

from __future__ import annotations

import argparse
import os
import random
import subprocess
import sys
import tempfile
import time

from common import best_of, load_words, trie_arrays

# -- arrays -------------------------------------------------------------------


def synthetic_payloads(word_at, videos: int, seed: int = 1):
    import numpy as np

    rng = np.random.default_rng(seed)
    payloads = []
    for w in word_at:
        if w < 0:
            payloads.append(None)
            continue
        k = min(8, int(rng.geometric(0.4)))
        ids = ((rng.zipf(1.3, k) - 1) % videos).astype(np.uint32)
        counts = np.minimum(rng.zipf(1.8, k), 1_000_000).astype(np.uint32)
        payloads.append((int(counts.sum()) + int(rng.integers(0, 10)), ids, counts))
    return payloads


def from_arrays(args) -> None:
    import numpy as np

    from _quillomar import PrefixSearch

    top_n = 50
    words = load_words(args.words)
    (shifts, labels, _, slots), word_at = trie_arrays(words)
    np_payloads = synthetic_payloads(word_at, args.videos)
    ids = [i.to_bytes(4, "little") for i in range(args.videos)]
    n = len(labels)
    payloads = [None if p is None else (p[0], p[1].tolist(), p[2].tolist()) for p in np_payloads]
    numpy_arrays = (np.asarray(shifts, np.uint32), np.asarray(labels, "<U1"))
    np_slots = np.asarray(slots, np.uint32)
    variants = {
        "lists": (shifts, labels, payloads, slots, ids),
        "numpy": (*numpy_arrays, payloads, np_slots, ids),
        "numpy+payload arrays": (*numpy_arrays, np_payloads, np_slots, ids),
    }
    entries = sum(len(p[1]) for p in payloads if p is not None)
    print(f"words {len(words):,}, nodes {n:,}, payload entries {entries:,}, top_n {top_n}")
    build = PrefixSearch.from_internal_data_v2
    reference = build(*variants["lists"], top_n).to_bytes()
    cpu = {}
    for name, arrays in variants.items():
        same = build(*arrays, top_n).to_bytes() == reference
        with_top = best_of(args.repeat, lambda: build(*arrays, top_n))[1]
        without = best_of(args.repeat, lambda: build(*arrays, 0))[1]
        cpu[name] = with_top
        print(
            f"{name:20s} top_n {top_n}: {with_top * 1e3:8.1f} ms {with_top / n * 1e9:6.1f} ns/node"
            f"  top_n 0: {without * 1e3:8.1f} ms  propagation {(with_top - without) * 1e3:6.1f} ms"
            f" = {100 * (with_top - without) / with_top:4.1f} %"
            + ("" if same else "  (**a different index from the lists'**)")
        )
    bare = best_of(
        args.repeat, lambda: build(numpy_arrays[0], numpy_arrays[1], [None] * n, np_slots, [], 0)
    )
    print(f"bare trie (numpy, no payloads, top_n 0): {bare[1] * 1e3:.1f} ms")
    print(f"numpy speed-up over lists: {cpu['lists'] / cpu['numpy']:.2f}x")


# -- records ------------------------------------------------------------------


def synthetic_records(terms: int, seed: int = 1):
    rng = random.Random(seed)
    letters = "abcdefghijklmnopqrstuvwxyz"
    words = ["".join(rng.choice(letters) for _ in range(rng.randint(2, 9))) for _ in range(5000)]
    seen = set()
    while len(seen) < terms:
        seen.add(" ".join(rng.choice(words) for _ in range(rng.randint(1, 4))))
    return [
        (term, rng.randrange(200_000), rng.randint(1, 1000))
        for term in seen
        for _ in range(rng.randint(1, 3))
    ]


def from_records(args) -> None:
    from quillomar import IndexBuilder, PrefixSearch

    def show(label, figures, note=""):
        print(f"  {label:24} {figures[0]:7.3f} s wall {figures[1]:7.3f} s cpu  {note}")

    top_n = 20
    records = synthetic_records(args.terms)
    print(f"{args.terms:,} terms, {len(records):,} records, top_n {top_n}, best of {args.repeat}:")

    def filled():
        builder = IndexBuilder()
        builder.add_records(records)
        return builder

    fill = best_of(args.repeat, filled)
    show("add_records", fill[:2])
    builder = fill[2]
    *layout, arrays = best_of(args.repeat, lambda b=builder: b.arrays(top_n))
    show("arrays", layout, f"{len(arrays.child_labels):,} nodes")
    show("from_internal_data_v2", best_of(args.repeat, arrays.build)[:2])
    del arrays
    *whole, index = best_of(args.repeat, lambda b=builder: b.build(top_n))
    show("build", whole)
    *encode, data = best_of(args.repeat, index.to_bytes)
    show("to_bytes", encode, f"{len(data):,} bytes")
    del builder, index, data

    words = load_words(args.words)
    print(f"{len(words):,} words, terms only, best of {args.repeat}:")

    def loop():
        builder = IndexBuilder()
        for word in words:
            builder.set_total(word, 1)
        return builder

    def bulk():
        builder = IndexBuilder()
        builder.set_totals(dict.fromkeys(words, 1))
        return builder

    for label, fill in (("set_total per word", loop), ("set_totals", bulk)):
        *filling, builder = best_of(args.repeat, fill)
        show(label, filling)
        path = best_of(
            args.repeat, lambda: PrefixSearch.from_internal_data_v2(*fill().arrays(top_n))
        )
        show("  and the whole path", path[:2])
        del builder


# -- log ----------------------------------------------------------------------

ARROW_CODE = r"""
import hashlib, resource, sys, time
import pyarrow.csv as pv
from quillomar import IndexBuilder
table = pv.read_csv(sys.argv[1])
t0 = time.perf_counter(); c0 = time.process_time()
b = IndexBuilder(); b.add_arrow(table)
t1 = time.perf_counter(); c1 = time.process_time()
f1 = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
data = b.to_bytes(20)
f2 = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
t2 = time.perf_counter(); c2 = time.process_time()
print(t1 - t0, c1 - c0, t2 - t1, c2 - c1, f2 - f1, hashlib.sha256(data).hexdigest())
"""

FROM_BYTES_CODE = r"""
import sys, time
from _quillomar import PrefixSearch
data = open(sys.argv[1], "rb").read()
t = time.process_time(); PrefixSearch.from_bytes(data); print(time.process_time() - t)
"""


def from_log(args) -> None:
    rows = sum(1 for _ in open(args.log, "rb")) - 1
    print(f"log: {args.log}, {rows:,} rows, {os.path.getsize(args.log) / 1e6:.0f} MB")
    work = tempfile.mkdtemp(prefix="quillomar-bench-")
    paths = {"new": (sys.executable, None, os.path.join(work, "new.idx"))}
    if args.old_pythonpath:
        env = dict(os.environ, PYTHONPATH=args.old_pythonpath)
        paths["old"] = (sys.executable, env, os.path.join(work, "old.idx"))
    steps = {
        "quillomar build (CSV to index file)": "-m quillomar build LOG -o OUT --top-n 20".split(),
        "add_arrow + to_bytes (from an Arrow table in memory)": ["-c", ARROW_CODE, "LOG"],
        "from_bytes of the new index": ["-c", FROM_BYTES_CODE, "NEW"],
    }
    new_index = paths["new"][2]
    for step, argv in steps.items():
        print(f"\n{step}, best of {args.repeat}:")
        best = {name: (float("inf"), float("inf"), "") for name in paths}
        for _ in range(args.repeat):
            for name, (python, env, out) in paths.items():
                where = {"LOG": args.log, "OUT": out, "NEW": new_index}
                command = [python, *(where.get(a, a) for a in argv)]
                text, wall, cpu, rss = measured(command, env)
                if step.startswith("quillomar build"):
                    size = os.path.getsize(out)
                    note = f"peak {rss / 1e6:,.0f} MB = {rss / size:.2f}x the {size / 1e6:,.0f} MB index"
                elif step.startswith("add_arrow"):
                    f = text.split()
                    wall, cpu = float(f[0]) + float(f[2]), float(f[1]) + float(f[3])
                    note = f"to_bytes page faults {int(f[4]):,}; index sha256 {f[5][:16]}"
                else:
                    wall = cpu = float(text)
                    note = f"{os.path.getsize(new_index) / cpu / 1e6:,.0f} MB/s"
                if cpu < best[name][1]:
                    best[name] = (min(wall, best[name][0]), cpu, note)
        for name, (wall, cpu, note) in best.items():
            rate = "" if step.startswith("from_bytes") else f" ({rows / cpu / 1e6:.2f}M rows/s)"
            print(f"  {name}: {wall:6.2f} s wall, {cpu:6.2f} s cpu{rate}; {note}")
        if "old" in paths:
            old, new = best["old"], best["new"]
            print(f"  new/old speed: {old[0] / new[0]:.2f}x wall, {old[1] / new[1]:.2f}x cpu")
    for _, _, out in paths.values():
        if os.path.exists(out):
            os.unlink(out)
    os.rmdir(work)


def measured(argv, env):
    """(stdout, wall s, cpu s, peak resident bytes) of one child process."""
    start = time.perf_counter()
    proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - start
    out, err = proc.stdout.read().decode(), proc.stderr.read().decode()
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit(f"{argv[0]} failed: {err.strip()}")
    return out, wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss * 1024


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    sub = parser.add_subparsers(dest="what", required=True)
    arrays = sub.add_parser("arrays", help="from_internal_data_v2 on the word list")
    arrays.add_argument("--repeat", type=int, default=5)
    arrays.add_argument("--videos", type=int, default=200_000)
    arrays.add_argument("--words", default="huge", help="word list name or file")
    records = sub.add_parser("records", help="IndexBuilder on synthetic records")
    records.add_argument("--terms", type=int, default=1_000_000)
    records.add_argument("--repeat", type=int, default=1)
    records.add_argument("--words", default="huge", help="word list name or file")
    log = sub.add_parser("log", help="a search log, CSV to index")
    log.add_argument("log")
    log.add_argument("--old-pythonpath", help="PYTHONPATH of the old path (build and python/)")
    log.add_argument("--repeat", type=int, default=1)
    args = parser.parse_args(argv)
    {"arrays": from_arrays, "records": from_records, "log": from_log}[args.what](args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
