"""Throughput of to_bytes / from_bytes and the memory a loaded index adds.

Builds the bytes of a large, realistic index with a vectorised numpy encoder
(checked against the pure-Python reference encoder of the tests on a small
index first), then reports:

  * from_bytes and to_bytes throughput in MB of encoded bytes per second,
    best of several runs;
  * the resident memory the loaded index adds, per node, against the raw
    size of its arrays (4 bytes per shift, label, child slot, video id and
    count and per-node payload offset and total; 1 byte per flag).

Run from the repository root, with the extension on the path:
  PYTHONPATH=build/NAME:python .venv/bin/python bench/bench_codec.py

With --file PATH it times from_bytes on that index file instead. With
--builds DIR [DIR ...] (the generated index, or --file) it compares builds of
the extension: each round runs one fresh process per build, in turn, and the
medians of their from_bytes figures are reported with their ratio to the
first build's.
"""

from __future__ import annotations

import argparse
import gc
import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

from _quillomar import PrefixSearch  # noqa: E402
from common import best_of, cpu_seconds, resident_bytes  # noqa: E402

# --- Vectorised encoder ------------------------------------------------------


def varints(values: np.ndarray) -> np.ndarray:
    """Shortest variable-length forms of u32 values, concatenated."""
    v = values.astype(np.uint64)
    size = 1 + 2 * (v > 250) + 2 * (v > 65535)
    off = np.zeros(len(v) + 1, dtype=np.int64)
    np.cumsum(size, out=off[1:])
    out = np.zeros(int(off[-1]), dtype=np.uint8)
    start = off[:-1]
    one, three, five = size == 1, size == 3, size == 5
    out[start[one]] = v[one]
    s, x = start[three], v[three]
    out[s] = 0xFB
    out[s + 1] = x & 0xFF
    out[s + 2] = x >> 8
    s, x = start[five], v[five]
    out[s] = 0xFC
    for i in range(4):
        out[s + 1 + i] = (x >> (8 * i)) & 0xFF
    return out


def utf8(code_points: np.ndarray) -> np.ndarray:
    c = code_points.astype(np.uint32)
    size = 1 + (c >= 0x80) + (c >= 0x800) + (c >= 0x10000)
    off = np.zeros(len(c) + 1, dtype=np.int64)
    np.cumsum(size, out=off[1:])
    out = np.zeros(int(off[-1]), dtype=np.uint8)
    start = off[:-1]
    for w in (1, 2, 3, 4):
        m = size == w
        s, x = start[m], c[m]
        if w == 1:
            out[s] = x
            continue
        lead = {2: 0xC0, 3: 0xE0, 4: 0xF0}[w]
        out[s] = lead | (x >> (6 * (w - 1)))
        for i in range(1, w):
            out[s + i] = 0x80 | ((x >> (6 * (w - 1 - i))) & 0x3F)
    return out


def count(n: int) -> np.ndarray:
    return varints(np.array([n], dtype=np.uint64))


def encode_index(idx: dict) -> bytes:
    """Same bytes as trie_bytes.encode for an index given as numpy arrays:
    every payload present; id_offsets delimit each node's ids and counts."""
    n = len(idx["labels"])
    ids, counts, off = idx["video_ids"], idx["video_counts"], idx["offsets"]
    k = np.diff(off)
    # Payload records are all variable-length integers: tag 1, total, k,
    # ids, k, counts. Lay them out as one stream of values.
    rec_len = 4 + 2 * k
    rec_off = np.zeros(n + 1, dtype=np.int64)
    np.cumsum(rec_len, out=rec_off[1:])
    stream = np.zeros(int(rec_off[-1]), dtype=np.uint64)
    s = rec_off[:-1]
    stream[s] = 1
    stream[s + 1] = idx["totals"]
    stream[s + 2] = k
    stream[s + 3 + k] = k
    node_of = np.repeat(np.arange(n), k)
    j = np.arange(len(ids)) - off[node_of]
    stream[s[node_of] + 3 + j] = ids
    stream[s[node_of] + 4 + k[node_of] + j] = counts
    uuid = idx.get("uuid_ids")
    parts = [
        count(n),
        varints(idx["shifts"]),
        count(n),
        utf8(idx["labels"]),
        count(len(idx["slots"])),
        varints(idx["slots"]),
        count(n),
        varints(stream),
        count(0 if uuid is None else len(uuid)),
        np.zeros(0, np.uint8) if uuid is None else uuid.reshape(-1),
        count(len(idx["int32_ids"])),
        varints(idx["int32_ids"]),
        np.array([idx["id_mode"]], dtype=np.uint8),
        count(n),
        idx["terminal"].astype(np.uint8),
    ]
    return np.concatenate(parts).tobytes()


# --- A realistic index ---------------------------------------------------------


def make_index(n: int, videos: int, top_n: int, uuids: bool, seed: int) -> dict:
    """A breadth-first numbered trie of n nodes with letters on most edges,
    wide near the root and thin below; payloads as propagation leaves them
    (inner nodes carry up to top_n videos, leaves a few)."""
    rng = np.random.default_rng(seed)
    deg = rng.choice(
        np.arange(9), size=n, p=[0.42, 0.30, 0.13, 0.06, 0.04, 0.02, 0.015, 0.01, 0.005]
    )
    deg[0] = 40
    deg[1:41] = 20
    ends = np.cumsum(deg)
    last = int(np.searchsorted(ends, n - 1))
    deg[last] -= ends[last] - (n - 1)
    deg[last + 1 :] = 0
    shifts = np.zeros(n, dtype=np.uint32)
    shifts[1:] = np.cumsum(deg)[:-1]
    slots = np.arange(1, n, dtype=np.uint32)
    labels = rng.integers(ord("a"), ord("z") + 1, size=n).astype(np.uint32)
    special = rng.random(n) < 0.05
    labels[special] = rng.choice(
        np.array([0xE9, 0xFC, 0x3B1, 0x4E2D, 0x65E5, 0x1F600], dtype=np.uint32),
        size=int(special.sum()),
    )
    labels[0] = 0
    inner = deg > 0
    k = np.where(
        inner, np.minimum(top_n, 1 + rng.geometric(0.15, size=n)), rng.integers(1, 4, size=n)
    )
    off = np.zeros(n + 1, dtype=np.int64)
    np.cumsum(k, out=off[1:])
    m = int(off[-1])
    video_ids = rng.integers(0, videos, size=m).astype(np.uint32)
    video_counts = np.minimum(rng.zipf(1.6, size=m), 2**31).astype(np.uint32)
    node_of = np.repeat(np.arange(n), k)
    totals = np.bincount(node_of, weights=video_counts, minlength=n)
    totals = np.minimum(totals + rng.integers(0, 50, size=n), 2**32 - 1)
    idx = dict(
        shifts=shifts,
        labels=labels,
        slots=slots,
        video_ids=video_ids,
        video_counts=video_counts,
        offsets=off,
        totals=totals.astype(np.uint32),
        terminal=rng.random(n) < 0.35,
    )
    if uuids:
        idx["uuid_ids"] = rng.integers(0, 256, size=(videos, 16), dtype=np.uint8)
        idx["int32_ids"] = np.zeros(0, dtype=np.uint32)
        idx["id_mode"] = 0
    else:
        idx["int32_ids"] = rng.integers(0, 2**32, size=videos, dtype=np.uint32)
        idx["id_mode"] = 1
    return idx


def check_encoder_against_reference() -> None:
    from trie_bytes import TrieData, encode

    for uuids in (False, True):
        idx = make_index(3000, 500, 10, uuids, seed=7)
        off = idx["offsets"]
        t = TrieData(
            node_shifts=idx["shifts"].tolist(),
            child_labels=idx["labels"].tolist(),
            child_transitions=idx["slots"].tolist(),
            payloads=[
                (
                    int(idx["totals"][v]),
                    idx["video_ids"][off[v] : off[v + 1]].tolist(),
                    idx["video_counts"][off[v] : off[v + 1]].tolist(),
                )
                for v in range(len(idx["labels"]))
            ],
            uuid_ids=[bytes(r) for r in idx["uuid_ids"]] if uuids else [],
            int32_ids=idx["int32_ids"].tolist(),
            id_mode=idx["id_mode"],
            is_terminal=idx["terminal"].tolist(),
        )
        data = encode_index(idx)
        assert data == encode(t), "numpy encoder disagrees with the reference"
        assert PrefixSearch.from_bytes(data).to_bytes() == data


# --- Measurements --------------------------------------------------------------


def measure_memory(path: str) -> None:
    """Prints the resident bytes that decoding the index at `path` adds."""
    with open(path, "rb") as f:
        data = f.read()
    before = resident_bytes()
    index = PrefixSearch.from_bytes(data)
    print(resident_bytes(trim=False) - before)
    del index


def time_file(path: str, runs: int) -> None:
    """Prints the wall-clock and CPU seconds of each of `runs` decodes of
    `path`, one decode a line."""
    with open(path, "rb") as f:
        data = f.read()
    for _ in range(runs):
        gc.collect()
        c0, t0 = cpu_seconds(), time.perf_counter()
        index = PrefixSearch.from_bytes(data)
        t1, c1 = time.perf_counter(), cpu_seconds()
        print(t1 - t0, c1 - c0)
        del index


def compare_builds(path: str, builds: list, rounds: int, runs: int) -> None:
    """from_bytes on `path` under each build, interleaved round by round."""
    mb = os.path.getsize(path) / 1e6
    python_dir = os.path.join(HERE, "..", "python")
    samples: dict = {b: [] for b in builds}
    by_cpu: dict = {b: [] for b in builds}
    for _ in range(rounds):
        for b in builds:
            env = dict(os.environ, PYTHONPATH=os.pathsep.join([b, python_dir]))
            out = subprocess.run(
                [sys.executable, os.path.abspath(__file__), "--time-file", path, str(runs)],
                check=True,
                capture_output=True,
                text=True,
                env=env,
            ).stdout
            for line in out.splitlines():
                wall, cpu = map(float, line.split())
                samples[b].append(mb / wall)
                by_cpu[b].append(mb / cpu)
    base = statistics.median(samples[builds[0]])
    base_cpu = statistics.median(by_cpu[builds[0]])
    print(f"from_bytes on {path} ({mb:.1f} MB), {rounds} rounds x {runs} runs:")
    for b in builds:
        med, med_cpu = statistics.median(samples[b]), statistics.median(by_cpu[b])
        lo, hi = min(samples[b]), max(samples[b])
        print(
            f"  {b}: median {med:6.0f} MB/s wall (min {lo:.0f}, max {hi:.0f}), "
            f"ratio to first {med / base:.3f}; median {med_cpu:6.0f} MB/s by CPU "
            f"time, ratio {med_cpu / base_cpu:.3f}"
        )
    print(f"load average: {os.getloadavg()[0]:.2f} on {os.cpu_count()} cores")


def main() -> None:
    if len(sys.argv) == 3 and sys.argv[1] == "--measure-memory":
        measure_memory(sys.argv[2])
        return
    if len(sys.argv) == 4 and sys.argv[1] == "--time-file":
        time_file(sys.argv[2], int(sys.argv[3]))
        return
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--nodes", type=int, default=2_000_000)
    ap.add_argument("--videos", type=int, default=200_000)
    ap.add_argument("--top-n", type=int, default=10)
    ap.add_argument("--uuid", action="store_true", help="16-byte identifiers")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--file", help="time from_bytes on this index file")
    ap.add_argument("--builds", nargs="+", metavar="DIR", help="extension builds to compare")
    ap.add_argument("--rounds", type=int, default=5, help="rounds of --builds")
    args = ap.parse_args()

    if args.file and args.builds:
        compare_builds(args.file, args.builds, args.rounds, args.runs)
        return
    if args.file:
        with open(args.file, "rb") as f:
            data = f.read()
        mb = len(data) / 1e6
        wall, cpu, _ = best_of(args.runs, lambda: PrefixSearch.from_bytes(data))
        print(
            f"from_bytes: {mb / wall:6.0f} MB/s wall ({wall * 1e3:.1f} ms), "
            f"{mb / cpu:6.0f} MB/s by CPU time; {mb:.1f} MB, best of {args.runs}"
        )
        return

    check_encoder_against_reference()
    idx = make_index(args.nodes, args.videos, args.top_n, args.uuid, seed=1)
    data = encode_index(idx)
    n = args.nodes
    e = len(idx["slots"])
    total_ids = len(idx["video_ids"])
    id_table = (16 * args.videos) if args.uuid else (4 * args.videos)
    del idx
    gc.collect()
    mb = len(data) / 1e6
    print(
        f"index: {n} nodes, {e} child slots, {total_ids} payload entries "
        f"({total_ids / n:.2f} per node), {args.videos} videos "
        f"({'uuid' if args.uuid else 'int32'} ids); encoded {mb:.1f} MB "
        f"({len(data) / n:.1f} bytes per node)"
    )

    # Memory in a fresh process that only reads the bytes and decodes them:
    # here, memory freed by building the index could be reused and hide
    # the index's own.
    with tempfile.NamedTemporaryFile(suffix=".idx") as f:
        f.write(data)
        f.flush()
        added = int(
            subprocess.run(
                [sys.executable, os.path.abspath(__file__), "--measure-memory", f.name],
                check=True,
                capture_output=True,
                text=True,
            ).stdout
        )
    raw = (
        4 * n
        + 4 * n
        + 4 * e
        + 4 * total_ids
        + 4 * total_ids  # arrays
        + 2 * n  # is_terminal and payload-present flags
        + 4 * (n + 1)
        + 4 * n  # payload offsets and totals
        + id_table
    )
    print(
        f"memory: loaded index adds {added / 1e6:.1f} MB resident = "
        f"{added / n:.1f} bytes per node; raw arrays {raw / 1e6:.1f} MB = "
        f"{raw / n:.1f} bytes per node; ratio {added / raw:.3f} "
        f"(target <= 1.25)"
    )
    if args.builds:
        with tempfile.NamedTemporaryFile(suffix=".idx") as f:
            f.write(data)
            f.flush()
            compare_builds(f.name, args.builds, args.rounds, args.runs)
        return
    index = PrefixSearch.from_bytes(data)
    assert index.to_bytes() == data

    for name, fn, target in (
        ("from_bytes", lambda: PrefixSearch.from_bytes(data), 400),
        ("to_bytes", index.to_bytes, 800),
    ):
        wall, cpu, _ = best_of(args.runs, fn)
        print(
            f"{name + ':':12}{mb / wall:6.0f} MB/s wall ({wall * 1e3:.1f} ms), "
            f"{mb / cpu:6.0f} MB/s by CPU time ({cpu * 1e3:.1f} ms); "
            f"best of {args.runs}; target >= {target}"
        )
    print(f"load average: {os.getloadavg()[0]:.2f} on {os.cpu_count()} cores")


if __name__ == "__main__":
    main()
