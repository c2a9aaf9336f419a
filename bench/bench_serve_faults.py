"""`quillomar serve` under hostile clients and failing workers.

Starts `quillomar serve` (the sample index, or a synthetic one for the
soak) on 127.0.0.1 with 2 workers and measures, from a probe client that
sends one keep-alive request every 5 ms:

* ``hostile``: the probe's p50/p99/max with nobody else, while one client
  sends a 128 MB header over and over, and while 2,000 connections each
  hold half a request (reopened as the server closes them);
* ``kill``: failed requests and the time until the worker set is whole
  again when one worker is killed with SIGKILL under steady load;
* ``soak`` (with --soak SECONDS): a paced load (--rate requests/s) with a
  worker killed every 60 s and the index file swapped every 30 s;
  failures, whether each came within a second of a kill, and the
  resident memory of the parent and workers every 10 s.

Loopback only, bounded by the durations given; every process it starts
is stopped. Reports figures and asserts nothing.
"""

from __future__ import annotations

import argparse
import functools
import http.client
import multiprocessing
import os
import resource
import signal
import socket
import tempfile
import threading
import time
from pathlib import Path
from typing import Any, Dict, List, Optional, Tuple

from common import Server, smaps


class Probe(threading.Thread):
    """Paced keep-alive requests; latencies and failures with times."""

    def __init__(self, port: int, interval: float, stop: threading.Event, path: str) -> None:
        super().__init__(daemon=True)
        self.port, self.interval, self.stop_event, self.path = port, interval, stop, path
        self.latencies: List[float] = []
        self.failures: List[Tuple[float, str]] = []

    def run(self) -> None:
        conn: Optional[http.client.HTTPConnection] = None
        next_at = time.monotonic()
        while not self.stop_event.is_set():
            if conn is None:
                conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
            started = time.monotonic()
            try:
                conn.request("GET", self.path)
                r = conn.getresponse()
                r.read()
                if r.status != 200:
                    self.failures.append((started, f"status {r.status}"))
                if r.getheader("connection", "").lower() == "close":
                    conn.close()
                    conn = None
                self.latencies.append(time.monotonic() - started)
            except (OSError, http.client.HTTPException) as err:
                self.failures.append((started, type(err).__name__))
                conn.close()
                conn = None
            next_at = max(next_at + self.interval, time.monotonic() - 1.0)
            self.stop_event.wait(max(0.0, next_at - time.monotonic()))
        if conn is not None:
            conn.close()


def quantiles(values: List[float]) -> str:
    if not values:
        return "no answers"
    v = sorted(values)
    at = lambda q: v[min(len(v) - 1, int(q * len(v)))] * 1000  # noqa: E731
    return f"n={len(v)} p50={at(0.5):.2f} ms p99={at(0.99):.2f} ms max={v[-1] * 1000:.2f} ms"


def probe_during(port: int, seconds: float, attack=None) -> Probe:
    stop = threading.Event()
    probe = Probe(port, 0.005, stop, "/complete?q=gutiar")
    attacker = None
    # The attacker runs in its own process, so it takes no time from the
    # probe's interpreter.
    halt = multiprocessing.Event()
    if attack is not None:
        attacker = multiprocessing.Process(target=attack, args=(halt,), daemon=True)
        attacker.start()
        time.sleep(0.5)  # the attack under way before measuring
    probe.start()
    time.sleep(seconds)
    stop.set()
    halt.set()
    probe.join()
    if attacker is not None:
        attacker.join(timeout=60)
        if attacker.is_alive():
            attacker.kill()
    return probe


def huge_header(port: int):
    return functools.partial(_huge_header, port)


def _huge_header(port: int, stop: Any) -> None:
    chunk = b"a" * (1 << 20)
    while not stop.is_set():
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
                s.sendall(b"GET /health HTTP/1.1\r\nHost: x\r\nX: ")
                for _ in range(128):  # 128 MB unless refused first
                    if stop.is_set():
                        break
                    s.sendall(chunk)
        except OSError:
            pass


def half_sent(port: int, count: int):
    return functools.partial(_half_sent, port, count)


def _half_sent(port: int, count: int, stop: Any) -> None:
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, max(soft, count + 256)), hard))
    held: List[socket.socket] = []
    while not stop.is_set():
        alive = []
        for s in held:  # drop the ones the server closed
            try:
                s.setblocking(False)
                if s.recv(1) == b"":
                    s.close()
                    continue
            except BlockingIOError:
                pass
            except OSError:
                s.close()
                continue
            alive.append(s)
        held = alive
        while len(held) < count and not stop.is_set():
            try:
                s = socket.create_connection(("127.0.0.1", port), timeout=5)
                s.sendall(b"GET /health HTTP/1.1\r\nHost: x\r\n")
                held.append(s)
            except OSError:
                break
        stop.wait(0.2)
    for s in held:
        s.close()


def run_hostile(env: Dict[str, str], seconds: float) -> None:
    server = Server(["--workers", "2"], env)
    try:
        server.wait_workers(2)
        print("hostile clients (probe: one keep-alive request every 5 ms)")
        base = probe_during(server.port, seconds)
        print(f"  alone:                 {quantiles(base.latencies)} failed={len(base.failures)}")
        hdr = probe_during(server.port, seconds, huge_header(server.port))
        print(f"  128 MB header client:  {quantiles(hdr.latencies)} failed={len(hdr.failures)}")
        half = probe_during(server.port, seconds, half_sent(server.port, 2000))
        print(f"  2,000 half-sent held:  {quantiles(half.latencies)} failed={len(half.failures)}")
    finally:
        server.stop()


def run_kill(env: Dict[str, str], seconds: float) -> None:
    server = Server(["--workers", "2"], env)
    try:
        server.wait_workers(2)
        stop = threading.Event()
        probes = [Probe(server.port, 0.002, stop, "/complete?q=yoga") for _ in range(4)]
        for p in probes:
            p.start()
        time.sleep(seconds / 2)
        victim = server.workers()[0]
        killed_at = time.monotonic()
        os.kill(victim, signal.SIGKILL)
        while True:
            now = set(server.workers())
            if len(now - {victim}) == 2:
                break
            time.sleep(0.001)
        whole = time.monotonic() - killed_at
        time.sleep(seconds / 2)
        stop.set()
        for p in probes:
            p.join()
        failures = [f for p in probes for f in p.failures]
        answered = sum(len(p.latencies) for p in probes)
        print("a worker killed under steady load (4 keep-alive clients, 2 workers)")
        print(
            f"  answered={answered} failed={len(failures)} "
            f"({', '.join(sorted({f[1] for f in failures})) or 'none'}); "
            f"worker set whole again {whole * 1000:.0f} ms after the kill"
        )
    finally:
        server.stop()


def run_soak(env: Dict[str, str], seconds: float, rate: float) -> None:
    import quillomar
    from quillomar.sample import sample_records

    where = Path(tempfile.mkdtemp(prefix="quillomar-soak-"))
    index = where / "live.idx"
    records = list(sample_records())
    quillomar.save(quillomar.build_index(records), index)
    server = Server(
        [str(index), "--workers", "2", "--reload-on-change", "--poll-interval", "0.5"], env
    )
    try:
        server.wait_workers(2)
        stop = threading.Event()
        clients = 8
        probes = [
            Probe(server.port, clients / rate, stop, "/complete?q=gutiar") for _ in range(clients)
        ]
        for p in probes:
            p.start()
        started = time.monotonic()
        kills: List[float] = []
        swaps = 0
        memory: List[str] = []
        next_kill, next_swap, next_rss = started + 60, started + 30, started
        while time.monotonic() - started < seconds:
            now = time.monotonic()
            if now >= next_rss:
                rss = [smaps(p).get("Rss", 0) for p in [server.proc.pid, *server.workers()]]
                memory.append(f"{now - started:.0f}s " + "/".join(str(k // 1024) for k in rss))
                next_rss += 10
            if now >= next_swap:
                swaps += 1
                quillomar.save(quillomar.build_index(records[swaps % 7 :]), str(index) + ".new")
                os.replace(str(index) + ".new", index)
                next_swap += 30
            if now >= next_kill:
                workers = server.workers()
                if workers:
                    kills.append(time.monotonic())
                    os.kill(workers[0], signal.SIGKILL)
                next_kill += 60
            time.sleep(0.05)
        stop.set()
        for p in probes:
            p.join()
        failures = [f for p in probes for f in p.failures]
        near_kill = [f for f in failures if any(0 <= f[0] - k < 1.0 for k in kills)]
        answered = sum(len(p.latencies) for p in probes)
        print(f"soak: {seconds:.0f} s at {rate:.0f} requests/s asked")
        print(
            f"  answered={answered} ({answered / seconds:.0f}/s) kills={len(kills)} "
            f"swaps={swaps} failed={len(failures)} (within 1 s of a kill: {len(near_kill)})"
        )
        print(f"  latency {quantiles([x for p in probes for x in p.latencies])}")
        print("  RSS MB parent/workers: " + "; ".join(memory))
    finally:
        server.stop()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seconds", type=float, default=5.0, help="per measured phase")
    parser.add_argument("--soak", type=float, default=0.0, metavar="SECONDS")
    parser.add_argument("--rate", type=float, default=1000.0, help="soak requests/s")
    args = parser.parse_args()
    env = dict(os.environ)
    if args.soak:
        run_soak(env, args.soak, args.rate)
        return
    run_hostile(env, args.seconds)
    run_kill(env, args.seconds * 2)


if __name__ == "__main__":
    main()
