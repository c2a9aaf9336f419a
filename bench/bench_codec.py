"""Throughput of to_bytes / from_bytes and the memory a loaded index adds.

The index (about two million nodes by default) is built by the extension from
generated records; --file times from_bytes on a stored index instead, and
--builds compares builds of the extension, one fresh process per build and
round, in turn.
"""

from __future__ import annotations

import argparse
import os
import random
import statistics
import subprocess
import sys
import tempfile

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

from _quillomar import PrefixSearch  # noqa: E402
from common import best_of, resident_bytes  # noqa: E402

# Mostly a-z, with some letters that take two, three and four UTF-8 bytes.
ALPHABET = "abcdefghijklmnopqrstuvwxyz" * 4 + "éüα中日😀"


def make_index(words: int, videos: int, top_n: int, uuids: bool, seed: int) -> bytes:
    """Random words of 4 to 12 letters, each with a few videos (geometric,
    mean about 6, at most top_n) of heavy-tailed counts, built and
    propagated by the extension."""
    from quillomar import IndexBuilder

    rng, gen = random.Random(seed), np.random.default_rng(seed)
    terms = sorted({"".join(rng.choices(ALPHABET, k=rng.randint(4, 12))) for _ in range(words)})
    per_term = np.minimum(gen.geometric(0.15, size=len(terms)), top_n).tolist()
    text = "".join(t + "\0" for t, k in zip(terms, per_term) for _ in range(k)).encode()
    rows = sum(per_term)
    counts = np.minimum(gen.zipf(1.6, size=rows), 2**31).astype(np.uint32)
    builder = IndexBuilder()
    if uuids:
        builder.add_columns(text, gen.bytes(16 * rows), counts, video_format="uuid")
    else:
        builder.add_columns(text, gen.integers(0, videos, size=rows, dtype=np.uint32), counts)
    return builder.build(top_n).to_bytes()


def raw_bytes(data: bytes) -> tuple[int, int]:
    """(nodes, bytes of the index's arrays): 4 per shift, label, child slot,
    video id and count, payload offset and total and identifier (16 for a
    UUID); 1 per terminal and payload-present flag."""
    from trie_bytes import decode

    t = decode(data)
    n = len(t.child_labels)
    entries = sum(len(p[1]) for p in t.payloads if p)
    ids = 16 * len(t.uuid_ids) + 4 * len(t.int32_ids)
    return n, 4 * n * 4 + 4 + 4 * len(t.child_transitions) + 8 * entries + 2 * n + ids


def in_child(argv: list, pythonpath=None) -> str:
    env = dict(os.environ)
    if pythonpath:
        env["PYTHONPATH"] = os.pathsep.join([pythonpath, os.path.join(HERE, "..", "python")])
    command = [sys.executable, os.path.abspath(__file__), *argv]
    return subprocess.run(command, check=True, capture_output=True, text=True, env=env).stdout


def report(name: str, mb: float, runs: int, fn) -> None:
    wall, cpu, _ = best_of(runs, fn)
    print(
        f"{name + ':':12}{mb / wall:6.0f} MB/s wall ({wall * 1e3:.1f} ms), "
        f"{mb / cpu:6.0f} MB/s by CPU time ({cpu * 1e3:.1f} ms); best of {runs}"
    )


def compare_builds(path: str, builds: list, rounds: int, runs: int) -> None:
    mb = os.path.getsize(path) / 1e6
    wall: dict = {b: [] for b in builds}
    cpu: dict = {b: [] for b in builds}
    for _ in range(rounds):
        for b in builds:
            for line in in_child(["--time-file", path, str(runs)], b).splitlines():
                w, c = map(float, line.split())
                wall[b].append(mb / w)
                cpu[b].append(mb / c)
    base, base_cpu = statistics.median(wall[builds[0]]), statistics.median(cpu[builds[0]])
    print(f"from_bytes on {path} ({mb:.1f} MB), {rounds} rounds x {runs} runs:")
    for b in builds:
        med, med_cpu = statistics.median(wall[b]), statistics.median(cpu[b])
        print(
            f"  {b}: median {med:6.0f} MB/s wall (min {min(wall[b]):.0f}, max {max(wall[b]):.0f}), "
            f"ratio to first {med / base:.3f}; median {med_cpu:6.0f} MB/s by CPU time, "
            f"ratio {med_cpu / base_cpu:.3f}"
        )


def child(argv: list) -> None:
    with open(argv[1], "rb") as f:
        data = f.read()
    if argv[0] == "--measure-memory":
        before = resident_bytes()
        index = PrefixSearch.from_bytes(data)  # noqa: F841
        print(resident_bytes(trim=False) - before)
        return
    for _ in range(int(argv[2])):
        wall, cpu, _ = best_of(1, lambda: PrefixSearch.from_bytes(data))
        print(wall, cpu)


def main(argv=None) -> None:
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] in (["--measure-memory"], ["--time-file"]):
        return child(argv)
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--words", type=int, default=410_000, help="generated words (2M nodes)")
    ap.add_argument("--videos", type=int, default=200_000)
    ap.add_argument("--top-n", type=int, default=10)
    ap.add_argument("--uuid", action="store_true", help="16-byte identifiers")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--file", help="time from_bytes on this index file")
    ap.add_argument("--builds", nargs="+", metavar="DIR", help="extension builds to compare")
    ap.add_argument("--rounds", type=int, default=5, help="rounds of --builds")
    args = ap.parse_args(argv)

    with tempfile.TemporaryDirectory() as tmp:
        path = args.file
        if path is None:
            path = os.path.join(tmp, "bench.idx")
            with open(path, "wb") as f:
                f.write(make_index(args.words, args.videos, args.top_n, args.uuid, seed=1))
        with open(path, "rb") as f:
            data = f.read()
        mb = len(data) / 1e6
        if args.builds:
            compare_builds(path, args.builds, args.rounds, args.runs)
        elif args.file:
            report("from_bytes", mb, args.runs, lambda: PrefixSearch.from_bytes(data))
        else:
            n, raw = raw_bytes(data)
            # A fresh process that only decodes: here, memory freed by the
            # build could be reused and hide the index's own.
            added = int(in_child(["--measure-memory", path]))
            print(
                f"index: {n:,} nodes, encoded {mb:.1f} MB ({len(data) / n:.1f} bytes per node); "
                f"loaded index adds {added / 1e6:.1f} MB resident = {added / n:.1f} bytes per "
                f"node; raw arrays {raw / 1e6:.1f} MB = {raw / n:.1f} bytes per node; "
                f"ratio {added / raw:.3f} (target <= 1.25)"
            )
            index = PrefixSearch.from_bytes(data)
            report("from_bytes", mb, args.runs, lambda: PrefixSearch.from_bytes(data))
            report("to_bytes", mb, args.runs, index.to_bytes)
    print(f"load average: {os.getloadavg()[0]:.2f} on {os.cpu_count()} cores")


if __name__ == "__main__":
    main()
