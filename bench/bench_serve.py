"""Load on `quillomar serve`: keystroke queries from many connections.

Serves a synthetic index on 127.0.0.1 with 1 and then 2 workers and drives
it with wrk (installed with apt-get when missing) from 64 connections for
30 s of the prefixes a person types, a third with a typo; the index file is
replaced halfway through. Reports requests per second, latency, errors, the
reload time and Rss/Pss per process (Pss shares each shared page among the
processes mapping it, so forked workers show their own cost).
"""

from __future__ import annotations

import argparse
import json
import os
import random
import re
import shutil
import subprocess
import tempfile
import threading
import time
import urllib.parse
import urllib.request
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

import quillomar  # noqa: E402
from common import Server, ensure_debian, smaps  # noqa: E402
from quillomar.sample import sample_records  # noqa: E402

LUA = r"""
local paths = {%(paths)s}
local max_requests = %(max_requests)d
local mean_delay_ms = %(mean_delay_ms)f
local threads = {}
local counter = 0
local i = 0

setup = function(thread)
  table.insert(threads, thread)
end

init = function(args)
  i = math.random(#paths)
end

request = function()
  i = i %% #paths + 1
  return wrk.format("GET", paths[i])
end

-- Paced runs: each connection waits a random (exponential) time between
-- answer and next request, so the server sees a steady offered rate
-- instead of as many requests as it can take.
if mean_delay_ms > 0 then
  delay = function()
    return math.floor(-math.log(1 - math.random()) * mean_delay_ms + 0.5)
  end
end

response = function(status, headers, body)
  counter = counter + 1
  if counter >= max_requests then
    wrk.thread:stop()
  end
end

done = function(summary, latency, requests)
  local e = summary.errors
  io.write(string.format(
    'RESULT {"requests": %%d, "duration_us": %%d, "p50_us": %%d, "p99_us": %%d, ' ..
    '"max_us": %%d, "connect": %%d, "read": %%d, "write": %%d, "status": %%d, ' ..
    '"timeout": %%d}\n',
    summary.requests, summary.duration, latency:percentile(50),
    latency:percentile(99), latency.max, e.connect, e.read, e.write,
    e.status, e.timeout))
end
"""


def synthetic_records(terms: int, seed: int):
    words = sorted({w for t, _, _ in sample_records() for w in t.split()})
    rng = random.Random(seed)
    chosen: set[str] = set()
    while len(chosen) < terms:
        chosen.add(" ".join(rng.choice(words) for _ in range(rng.randint(2, 4))))
    records = [
        (term, rng.randrange(1, 10**6), rng.randint(1, 50))
        for term in sorted(chosen)
        for _ in range(3)
    ]
    return sorted(chosen), records


def typo(text: str, rng: random.Random) -> str:
    at = rng.randrange(len(text))
    kind = rng.choice("sdti")
    if kind == "s":
        return text[:at] + rng.choice("abcdefghijklmnopqrstuvwxyz") + text[at + 1 :]
    if kind == "d":
        return text[:at] + text[at + 1 :]
    if kind == "t" and at + 1 < len(text):
        return text[:at] + text[at + 1] + text[at] + text[at + 2 :]
    return text[:at] + rng.choice("aeiou") + text[at:]


def keystroke_paths(terms, count: int, seed: int):
    """What a box sends while people type: every prefix of a term, the
    longer ones with a typo a third of the time."""
    rng = random.Random(seed)
    paths = []
    while len(paths) < count:
        term = rng.choice(terms)
        misspelt = rng.random() < 1 / 3
        for n in range(1, len(term) + 1):
            text = term[:n]
            if misspelt and n >= 4:
                text = typo(text, rng)
            paths.append("/complete?q=" + urllib.parse.quote(text))
    return paths[:count]


def memory_table(pids, label):
    lines = [f"  memory {label} (MiB):  pid      Rss      Pss  shared  private"]
    for pid in pids:
        m = smaps(pid)
        shared = m.get("Shared_Clean", 0) + m.get("Shared_Dirty", 0)
        private = m.get("Private_Clean", 0) + m.get("Private_Dirty", 0)
        role = "parent" if pid == pids[0] and len(pids) > 1 else "worker"
        lines.append(
            f"    {role:>20} {pid:>6} {m['Rss'] / 1024:8.1f} "
            f"{m['Pss'] / 1024:8.1f} {shared / 1024:7.1f} {private / 1024:8.1f}"
        )
    return "\n".join(lines)


def generations(url: str, tries: int = 40):
    seen = set()
    for _ in range(tries):
        with urllib.request.urlopen(url + "health", timeout=10) as r:
            seen.add(json.loads(r.read())["index"]["generation"])
    return sorted(seen)


def run(workers: int, rate: int, args, index: Path, replacement: bytes, script: Path, wrk: str):
    options = ["--workers", str(workers), "--reload-on-change", "--poll-interval", "0.2"]
    server = Server([str(index), *options, "--log-level", "info"], keep_log=True)
    url = server.url
    time.sleep(1.0)  # the workers' own start-up
    pids = [server.proc.pid, *server.workers()]
    before = memory_table(pids, "before the swap")

    def swap():
        time.sleep(args.duration / 2)
        if args.no_swap:
            return
        tmp = index.with_suffix(".new")
        tmp.write_bytes(replacement)
        os.replace(tmp, index)

    swapper = threading.Thread(target=swap)
    swapper.start()
    out = subprocess.run(
        [
            wrk,
            "-t2",
            f"-c{args.connections}",
            f"-d{args.duration}s",
            "--timeout",
            "5s",
            "-s",
            str(script),
            url,
        ],
        capture_output=True,
        text=True,
    )
    swapper.join()
    after = memory_table([server.proc.pid, *server.workers()], "after the swap")
    seen = generations(url)
    server.stop()
    m = re.search(r"RESULT (\{.*\})", out.stdout)
    assert m, out.stdout + out.stderr
    r = json.loads(m.group(1))
    errors = r["connect"] + r["read"] + r["write"] + r["status"] + r["timeout"]
    loads = [float(x) for x in re.findall(r"loaded in (\d+) ms", "".join(server.log))]
    offered = f"paced at about {rate:,} rps" if rate else "as fast as it answers"
    print(
        f"\n{workers} worker{'s' if workers > 1 else ''}, {args.connections} "
        f"connections {offered}, {r['duration_us'] / 1e6:.1f} s:"
    )
    print(f"  {r['requests']:,} requests, {r['requests'] / (r['duration_us'] / 1e6):,.0f} rps")
    print(
        f"  latency p50 {r['p50_us'] / 1000:.2f} ms, p99 {r['p99_us'] / 1000:.2f} ms, "
        f"max {r['max_us'] / 1000:.1f} ms"
    )
    print(
        f"  errors {errors} (connect {r['connect']}, read {r['read']}, write "
        f"{r['write']}, timeout {r['timeout']}, non-2xx {r['status']})"
    )
    print(
        f"  index swapped: generations answering after the run {seen}; "
        f"index loaded by the parent in {', '.join(f'{x:.0f} ms' for x in loads) or 'none'}"
    )
    print(before)
    print(after)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--workers", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--duration", type=int, default=30, help="seconds per run")
    parser.add_argument("--connections", type=int, default=64)
    parser.add_argument("--terms", type=int, default=100_000, help="terms in the synthetic index")
    parser.add_argument(
        "--queries", type=int, default=20_000, help="distinct keystroke queries cycled through"
    )
    parser.add_argument(
        "--max-requests",
        type=int,
        default=2_000_000,
        help="stop each wrk thread after this many answers",
    )
    parser.add_argument(
        "--rates",
        type=int,
        nargs="+",
        default=[0, 2000],
        help="offered requests per second, 0 for as many as "
        "the server takes (default: %(default)s)",
    )
    parser.add_argument("--no-swap", action="store_true", help="leave the index alone, to compare")
    args = parser.parse_args()
    wrk = shutil.which("wrk") or ensure_debian("wrk", "/usr/bin/wrk")
    with tempfile.TemporaryDirectory() as tmp:
        started = time.monotonic()
        terms, records = synthetic_records(args.terms, seed=1)
        index = Path(tmp) / "bench.idx"
        quillomar.save(quillomar.build_index(records), index)
        # The replacement: the same terms, other videos and counts.
        _, other = synthetic_records(args.terms, seed=2)
        replacement = quillomar.build_index(other).to_bytes()
        print(
            f"index: {len(terms):,} terms, {index.stat().st_size / 2**20:.1f} MiB "
            f"on disk (built in {time.monotonic() - started:.1f} s)"
        )
        paths = keystroke_paths(terms, args.queries, seed=3)
        scripts = {}
        for rate in args.rates:
            scripts[rate] = Path(tmp) / f"keystrokes-{rate}.lua"
            scripts[rate].write_text(
                LUA
                % {
                    "paths": ",".join(json.dumps(p) for p in paths),
                    "max_requests": args.max_requests // 2,
                    # Less the ~1.5 ms an answer takes, so the rate is about as offered.
                    "mean_delay_ms": max(args.connections * 1000 / rate - 1.5, 0.0)
                    if rate
                    else 0.0,
                }
            )
        print(
            f"queries: {len(paths):,} keystroke prefixes, e.g. "
            f"{', '.join(urllib.parse.unquote(p[12:]) for p in paths[5:12])}"
        )
        for workers in args.workers:
            for rate in args.rates:
                run(workers, rate, args, index, replacement, scripts[rate], wrk)


if __name__ == "__main__":
    main()
