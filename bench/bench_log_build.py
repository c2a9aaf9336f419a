"""Building indexes from search logs, old path against new, side by side.

    .venv/bin/python bench/bench_log_build.py LOG.csv [--old-python PY]
        [--repeat N] [--skip-arrow] [--skip-from-bytes]

LOG.csv comes from bench/make_search_log.py. Reports, each in a process of
its own (figures only, nothing asserted):

* `quillomar build LOG.csv` end to end (CSV to index file): wall time,
  CPU time (user + system), rows per second and peak resident memory, for
  this checkout and, with --old-python, for the interpreter of another
  checkout (the old path), alternated when --repeat > 1;
* building from an Arrow table already in memory (IndexBuilder.add_arrow,
  then the stored bytes), rows per second of both steps;
* PrefixSearch.from_bytes on the written index, MB/s, for both checkouts.

Wall time on a shared machine measures the neighbours too; the CPU time of
the child process is the steadier figure.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import time

ARROW_CODE = r"""
import sys, time, resource
import pyarrow.csv as pv
from quillomar import IndexBuilder
table = pv.read_csv(sys.argv[1])
rows = table.num_rows
t0 = time.perf_counter(); c0 = time.process_time()
b = IndexBuilder(); b.add_arrow(table)
t1 = time.perf_counter(); c1 = time.process_time()
data = b.to_bytes(20)
t2 = time.perf_counter(); c2 = time.process_time()
print(rows, t1 - t0, c1 - c0, t2 - t1, c2 - c1, len(data))
"""

FROM_BYTES_CODE = r"""
import sys, time
from _quillomar import PrefixSearch
data = open(sys.argv[1], "rb").read()
best = None
for _ in range(int(sys.argv[2])):
    t = time.process_time(); PrefixSearch.from_bytes(data); t = time.process_time() - t
    best = t if best is None else min(best, t)
print(len(data), best)
"""


def run_child(argv, env=None):
    """(stdout, wall s, cpu s, peak RSS bytes) of one child process."""
    start = time.perf_counter()
    proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - start
    out = proc.stdout.read().decode() if proc.stdout else ""
    err = proc.stderr.read().decode() if proc.stderr else ""
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        raise SystemExit(f"{argv[0]} failed: {err.strip()}")
    return out, wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss * 1024


def cli_build(python, log, out):
    return run_child([python, "-m", "quillomar", "build", log, "-o", out, "--top-n", "20"])


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("log")
    ap.add_argument("--old-python", help="interpreter of the old checkout")
    ap.add_argument("--repeat", type=int, default=1)
    ap.add_argument("--skip-arrow", action="store_true")
    ap.add_argument("--skip-from-bytes", action="store_true")
    args = ap.parse_args()
    rows = sum(1 for _ in open(args.log, "rb")) - 1
    log_bytes = os.path.getsize(args.log)
    print(f"log: {args.log}, {rows:,} rows, {log_bytes / 1e6:.0f} MB")
    work = tempfile.mkdtemp(prefix="quillomar-bench-")
    paths = {"new": (sys.executable, os.path.join(work, "new.idx"))}
    if args.old_python:
        paths["old"] = (args.old_python, os.path.join(work, "old.idx"))
    results = {name: [] for name in paths}
    for _ in range(args.repeat):
        for name, (python, out) in paths.items():
            results[name].append(cli_build(python, args.log, out)[1:])
    print(f"\nquillomar build (CSV to index file), best of {args.repeat}:")
    best = {}
    for name, runs in results.items():
        wall = min(r[0] for r in runs)
        cpu = min(r[1] for r in runs)
        rss = max(r[2] for r in runs)
        size = os.path.getsize(paths[name][1])
        best[name] = (wall, cpu)
        print(
            f"  {name}: {wall:6.2f} s wall ({rows / wall / 1e6:.2f}M rows/s), "
            f"{cpu:6.2f} s cpu ({rows / cpu / 1e6:.2f}M rows/s), "
            f"peak {rss / 1e6:,.0f} MB = {rss / size:.2f}x the "
            f"{size / 1e6:,.0f} MB index"
        )
    if "old" in best:
        same = open(paths["old"][1], "rb").read() == open(paths["new"][1], "rb").read()
        print(
            f"  new/old speed: {best['old'][0] / best['new'][0]:.1f}x wall, "
            f"{best['old'][1] / best['new'][1]:.1f}x cpu; identical bytes: {same}"
        )
    if not args.skip_arrow:
        out = run_child([sys.executable, "-c", ARROW_CODE, args.log])[0].split()
        n, add_wall, add_cpu, enc_wall, enc_cpu = int(out[0]), *map(float, out[1:5])
        print(f"\nfrom an in-memory Arrow table ({n:,} rows):")
        print(
            f"  add_arrow: {add_wall:.2f} s wall ({n / add_wall / 1e6:.2f}M rows/s), "
            f"{add_cpu:.2f} s cpu ({n / add_cpu / 1e6:.2f}M rows/s)"
        )
        total_wall, total_cpu = add_wall + enc_wall, add_cpu + enc_cpu
        print(
            f"  add_arrow + to_bytes: {total_wall:.2f} s wall "
            f"({n / total_wall / 1e6:.2f}M rows/s), {total_cpu:.2f} s cpu "
            f"({n / total_cpu / 1e6:.2f}M rows/s)"
        )
    if not args.skip_from_bytes:
        print("\nPrefixSearch.from_bytes on the new index (best of 3, cpu):")
        index = paths["new"][1]
        for name, (python, _) in paths.items():
            out = run_child([python, "-c", FROM_BYTES_CODE, index, "3"])[0].split()
            size, seconds = int(out[0]), float(out[1])
            print(f"  {name}: {seconds:.3f} s, {size / seconds / 1e6:.0f} MB/s")
    for _, out in paths.values():
        os.unlink(out)
    os.rmdir(work)


if __name__ == "__main__":
    main()
