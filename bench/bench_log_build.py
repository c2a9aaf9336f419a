"""Building indexes from search logs, old path against new, side by side.

    .venv/bin/python bench/bench_log_build.py LOG.csv [--old-python PY]
        [--old-pythonpath DIRS] [--repeat N] [--skip-arrow]
        [--skip-from-bytes]

LOG.csv comes from bench/make_search_log.py. Reports, each in a process of
its own (figures only, nothing asserted):

* `quillomar build LOG.csv` end to end (CSV to index file): wall time,
  CPU time (user + system), rows per second and peak resident memory, for
  this checkout and, with --old-python, for the interpreter of another
  checkout (the old path), alternated when --repeat > 1; --old-pythonpath
  runs the old path with this interpreter and another PYTHONPATH instead
  (an old build directory and its python/ folder);
* building from an Arrow table already in memory (IndexBuilder.add_arrow,
  then the stored bytes), rows per second of each step and of both, for
  both paths, alternated like the above, and the page faults of the second
  step (a steady figure where the times are not);
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
import hashlib, resource, sys, time
import pyarrow.csv as pv
from quillomar import IndexBuilder
table = pv.read_csv(sys.argv[1])
rows = table.num_rows
t0 = time.perf_counter(); c0 = time.process_time()
b = IndexBuilder(); b.add_arrow(table)
t1 = time.perf_counter(); c1 = time.process_time()
f1 = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
data = b.to_bytes(20)
f2 = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
t2 = time.perf_counter(); c2 = time.process_time()
print(rows, t1 - t0, c1 - c0, t2 - t1, c2 - c1, len(data), hashlib.sha256(data).hexdigest(),
      f2 - f1)
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


def cli_build(python, env, log, out):
    argv = [python, "-m", "quillomar", "build", log, "-o", out, "--top-n", "20"]
    return run_child(argv, env)


def best_of(runs, i):
    return min(r[i] for r in runs)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("log")
    ap.add_argument("--old-python", help="interpreter of the old checkout")
    ap.add_argument(
        "--old-pythonpath",
        help="PYTHONPATH of the old path, run with --old-python or this interpreter",
    )
    ap.add_argument("--repeat", type=int, default=1)
    ap.add_argument("--skip-arrow", action="store_true")
    ap.add_argument("--skip-from-bytes", action="store_true")
    args = ap.parse_args()
    rows = sum(1 for _ in open(args.log, "rb")) - 1
    log_bytes = os.path.getsize(args.log)
    print(f"log: {args.log}, {rows:,} rows, {log_bytes / 1e6:.0f} MB")
    work = tempfile.mkdtemp(prefix="quillomar-bench-")
    paths = {"new": (sys.executable, os.path.join(work, "new.idx"))}
    envs = {"new": None}
    if args.old_python or args.old_pythonpath:
        paths["old"] = (args.old_python or sys.executable, os.path.join(work, "old.idx"))
        envs["old"] = None
        if args.old_pythonpath:
            envs["old"] = dict(os.environ, PYTHONPATH=args.old_pythonpath)
    results = {name: [] for name in paths}
    for _ in range(args.repeat):
        for name, (python, out) in paths.items():
            results[name].append(cli_build(python, envs[name], args.log, out)[1:])
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
        # The files also carry when they were written, so their bytes differ.
        print(
            f"  new/old speed: {best['old'][0] / best['new'][0]:.2f}x wall, "
            f"{best['old'][1] / best['new'][1]:.2f}x cpu"
        )
    if not args.skip_arrow:
        arrow = {name: [] for name in paths}
        for _ in range(args.repeat):
            for name, (python, _) in paths.items():
                out = run_child([python, "-c", ARROW_CODE, args.log], envs[name])[0].split()
                arrow[name].append((int(out[0]), *map(float, out[1:5]), out[6], int(out[7])))
        print(f"\nfrom an in-memory Arrow table, best of {args.repeat}:")
        for name, runs in arrow.items():
            n = runs[0][0]
            steps = [
                ("add_arrow", [(r[1], r[2]) for r in runs]),
                ("to_bytes(20)", [(r[3], r[4]) for r in runs]),
                ("add_arrow + to_bytes", [(r[1] + r[3], r[2] + r[4]) for r in runs]),
            ]
            print(f"  {name} to_bytes(20) page faults: {runs[0][6]:,}")
            for step, figures in steps:
                wall, cpu = best_of(figures, 0), best_of(figures, 1)
                print(
                    f"  {name} {step}: {wall:.2f} s wall ({n / wall / 1e6:.2f}M rows/s), "
                    f"{cpu:.2f} s cpu ({n / cpu / 1e6:.2f}M rows/s)"
                )
        if "old" in arrow:
            old = best_of([(r[1] + r[3],) for r in arrow["old"]], 0)
            new = best_of([(r[1] + r[3],) for r in arrow["new"]], 0)
            same = arrow["old"][0][5] == arrow["new"][0][5]
            print(
                f"  new/old speed, add_arrow + to_bytes: {old / new:.2f}x wall; "
                f"identical index bytes: {same}"
            )
    if not args.skip_from_bytes:
        print("\nPrefixSearch.from_bytes on the new index (best of 3, cpu):")
        index = paths["new"][1]
        for name, (python, _) in paths.items():
            out = run_child([python, "-c", FROM_BYTES_CODE, index, "3"], envs[name])[0].split()
            size, seconds = int(out[0]), float(out[1])
            print(f"  {name}: {seconds:.3f} s, {size / seconds / 1e6:.0f} MB/s")
    for _, out in paths.values():
        os.unlink(out)
    os.rmdir(work)


if __name__ == "__main__":
    main()
