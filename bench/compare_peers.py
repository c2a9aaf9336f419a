#!/usr/bin/env python3
"""Runs quillomar side by side with the libraries users would pick instead and
writes docs/benchmarks.md with a results table and plots.

    python bench/compare_peers.py            # the whole comparison (minutes)
    python bench/compare_peers.py --help     # smaller runs, other paths
    python bench/compare_peers.py --turns [--lists huge,phrases] [--blocks 100,1]
    python bench/compare_peers.py --turns --builds OLD_BUILD_DIR NEW_BUILD_DIR

Each library is built and queried in its own child process (so that resident
memory is its own), one after the other, on the same workload. Libraries that
are not installed are skipped and named in the report.

--turns instead runs two searchers in one process, taking turns on the same
queries (bench/peers/turns.py): quillomar and the C++ delete-neighbourhood
peer on several Debian word lists, or with --builds two builds of the
extension; it prints figures and writes no report.
"""

from __future__ import annotations

import argparse
import os
import pickle
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

from common import LISTS, list_path, load_words  # noqa: E402
from peers import adapters, measure, report, turns  # noqa: E402
from peers import workload as wl  # noqa: E402

ROOT = os.path.dirname(HERE)


def run_worker(name: str, workload_path: str, result_path: str, sample) -> None:
    with open(workload_path, "rb") as f:
        work = pickle.load(f)
    result = measure.measure(adapters.BY_NAME[name](), work, sample=sample)
    with open(result_path, "wb") as f:
        pickle.dump(result, f, protocol=pickle.HIGHEST_PROTOCOL)


def run(
    words: list[str],
    source: str,
    *,
    out: str,
    peers=None,
    queries: int = 10_000,
    prefixes: int = 10_000,
    seed: int = 20240601,
    videos: int = 50_000,
    sample=None,
    in_process: bool = False,
    log=print,
) -> dict:
    """Runs the comparison and writes the report to `out` (plots beside it).

    `peers` names the libraries to run (default: every installed one);
    `sample` caps the number of timed queries for every library.
    Returns the collected figures.
    """
    wanted = [adapters.BY_NAME[name] for name in peers] if peers else adapters.PEERS
    available = [peer for peer in wanted if peer.available()]
    missing = [peer.name for peer in wanted if not peer.available()]
    work = wl.build_workload(
        words, source, seed=seed, queries=queries, prefixes=prefixes, videos=videos
    )
    load_start = os.getloadavg()
    started = time.time()
    results = {}
    with tempfile.TemporaryDirectory(prefix="quillomar-peers-") as tmp:
        workload_path = os.path.join(tmp, "workload.pickle")
        with open(workload_path, "wb") as f:
            pickle.dump(work, f, protocol=pickle.HIGHEST_PROTOCOL)
        for peer in available:
            log(f"[{time.strftime('%H:%M:%S')}] {peer.name}: building and querying")
            begin = time.perf_counter()
            if in_process:
                results[peer.name] = measure.measure(
                    peer(), work, sample=sample, warmup=min(100, queries)
                )
            else:
                result_path = os.path.join(tmp, f"{peer.name}.pickle")
                command = [sys.executable, __file__, "--worker", peer.name, "--workload"]
                command += [workload_path, "--result", result_path]
                subprocess.run(
                    command + ["--sample", str(sample)] * (sample is not None), check=True
                )
                with open(result_path, "rb") as f:
                    results[peer.name] = pickle.load(f)
            log(f"    done in {time.perf_counter() - begin:.1f} s")
    run_info = {
        "started": started,
        "finished": time.time(),
        "load_start": load_start,
        "load_end": os.getloadavg(),
        "missing": missing,
        "sample": sample,
    }
    summary = report.write_report(out, work, results, run_info)
    log(f"wrote {out}")
    return summary


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    add = parser.add_argument
    add("--words", help="word list file (default: Debian's wamerican-huge, installed if missing)")
    add("--out", default=os.path.join(ROOT, "docs", "benchmarks.md"), help="report path")
    add("--peers", help="comma-separated libraries to run: " + ", ".join(adapters.BY_NAME))
    add("--queries", type=int, help="per bound (default 10,000; 2,000 with --turns)")
    add("--prefixes", type=int, default=10_000)
    add("--seed", type=int, help="default 20240601; 20261209 with --turns")
    add("--sample", type=int, help="time at most this many term queries per library")
    add("--turns", action="store_true", help="two searchers in one process")
    add("--lists", default=",".join(LISTS), help="with --turns: " + ", ".join(LISTS))
    add("--builds", nargs=2, metavar=("OLD", "NEW"), help="with --turns")
    add("--blocks", default="100,1", help="with --turns, comma-separated turn lengths")
    for hidden in ("--worker", "--workload", "--result"):
        add(hidden, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.worker:
        run_worker(args.worker, args.workload, args.result, args.sample)
    elif args.turns:
        blocks = [int(b) for b in args.blocks.split(",")]
        seed = 20261209 if args.seed is None else args.seed
        turns.run(args.lists.split(","), args.builds, args.queries or 2000, seed, blocks)
    else:
        source = list_path(args.words or "huge")
        run(
            load_words(source),
            source,
            out=args.out,
            peers=args.peers.split(",") if args.peers else None,
            queries=args.queries or 10_000,
            prefixes=args.prefixes,
            seed=20240601 if args.seed is None else args.seed,
            sample=args.sample,
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
