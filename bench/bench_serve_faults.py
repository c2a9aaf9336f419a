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
  each failure with its time since the last kill and swap, whether its
  connection was open on the killed worker, and the
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
import statistics
import tempfile
import threading
import time
from pathlib import Path
from typing import Any, Dict, List, NamedTuple, Optional

from common import Server, smaps


class Failure(NamedTuple):
    opened: float  # when its connection was opened
    started: float
    ended: float
    kind: str

    def on_killed_worker(self, kills: List[float]) -> bool:
        """Whether its connection was open when a worker was killed and it
        failed soon after: a request in flight on the killed worker, or
        the next one on a connection the killed worker held."""
        return any(self.opened <= k <= self.ended < k + 1.0 for k in kills)


class Probe(threading.Thread):
    """Paced keep-alive requests; latencies and failures with times."""

    def __init__(self, port: int, interval: float, stop: threading.Event, path: str) -> None:
        super().__init__(daemon=True)
        self.port, self.interval, self.stop_event, self.path = port, interval, stop, path
        self.latencies: List[float] = []
        self.failures: List[Failure] = []

    def run(self) -> None:
        conn: Optional[http.client.HTTPConnection] = None
        next_at = opened = time.monotonic()
        while not self.stop_event.is_set():
            if conn is None:
                conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
                opened = time.monotonic()
            started = time.monotonic()
            try:
                conn.request("GET", self.path)
                r = conn.getresponse()
                r.read()
                if r.status != 200:
                    self.failures.append(
                        Failure(opened, started, time.monotonic(), f"status {r.status}")
                    )
                if r.getheader("connection", "").lower() == "close":
                    conn.close()
                    conn = None
                self.latencies.append(time.monotonic() - started)
            except (OSError, http.client.HTTPException) as err:
                kind = f"{type(err).__name__}: {err}"[:40]
                self.failures.append(Failure(opened, started, time.monotonic(), kind))
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


def quantile_ms(values: List[float], q: float) -> float:
    v = sorted(values)
    return v[min(len(v) - 1, int(q * len(v)))] * 1000 if v else float("nan")


def run_hostile(env: Dict[str, str], seconds: float, rounds: int) -> None:
    server = Server(["--workers", "2"], env)
    conditions = [
        ("alone", None),
        ("128 MB header client", huge_header(server.port)),
        ("2,000 half-sent held", half_sent(server.port, 2000)),
    ]
    p99s: Dict[str, List[float]] = {name: [] for name, _ in conditions}
    p50s: Dict[str, List[float]] = {name: [] for name, _ in conditions}
    failed: Dict[str, int] = {name: 0 for name, _ in conditions}
    try:
        server.wait_workers(2)
        print(
            f"hostile clients (probe: one keep-alive request every 5 ms; "
            f"{rounds} rounds of {seconds:g} s per condition, conditions alternated)"
        )
        for round_ in range(rounds):
            for name, attack in conditions:
                probe = probe_during(server.port, seconds, attack)
                p99s[name].append(quantile_ms(probe.latencies, 0.99))
                p50s[name].append(quantile_ms(probe.latencies, 0.5))
                failed[name] += len(probe.failures)
                print(f"  round {round_ + 1} {name + ':':22} {quantiles(probe.latencies)}")
        base = statistics.median(p99s["alone"])
        for name, _ in conditions:
            median = statistics.median(p99s[name])
            print(
                f"  median p99 {name + ':':22} {median:.2f} ms "
                f"({median - base:+.2f} ms against alone), "
                f"median p50 {statistics.median(p50s[name]):.2f} ms, failed={failed[name]}"
            )
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
            f"({', '.join(sorted({f.kind for f in failures})) or 'none'}); "
            f"worker set whole again {whole * 1000:.0f} ms after the kill"
        )
    finally:
        server.stop()


def run_soak(
    env: Dict[str, str], seconds: float, rate: float, kill_every: float, swap_every: float
) -> None:
    import quillomar
    from quillomar.sample import sample_records

    where = Path(tempfile.mkdtemp(prefix="quillomar-soak-"))
    index = where / "live.idx"
    records = list(sample_records())
    quillomar.save(quillomar.build_index(records), index)
    server = Server(
        [str(index), "--workers", "2", "--reload-on-change", "--poll-interval", "0.5"], env
    )
    never = float("inf")
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
        swaps: List[float] = []
        memory: List[str] = []
        next_kill = started + kill_every if kill_every else never
        next_swap = started + swap_every if swap_every else never
        next_rss = started
        while time.monotonic() - started < seconds:
            now = time.monotonic()
            if now >= next_rss:
                rss = [smaps(p).get("Rss", 0) for p in [server.proc.pid, *server.workers()]]
                memory.append(f"{now - started:.0f}s " + "/".join(str(k // 1024) for k in rss))
                next_rss += 10
            if now >= next_swap:
                new = str(index) + ".new"
                quillomar.save(quillomar.build_index(records[len(swaps) % 7 :]), new)
                os.replace(new, index)
                swaps.append(time.monotonic())
                next_swap += swap_every
            if now >= next_kill:
                workers = server.workers()
                if workers:
                    kills.append(time.monotonic())
                    os.kill(workers[0], signal.SIGKILL)
                next_kill += kill_every
            time.sleep(0.05)
        stop.set()
        for p in probes:
            p.join()
        failures = sorted(f for p in probes for f in p.failures)
        answered = sum(len(p.latencies) for p in probes)
        near_kill = sum(f.on_killed_worker(kills) for f in failures)
        print(f"soak: {seconds:.0f} s at {rate:.0f} requests/s asked")
        for f in failures:

            def since(events: List[float]) -> str:
                before = [f.ended - e for e in events if e <= f.ended]
                return f"{min(before):.3f} s" if before else "-"

            print(
                f"  failure ended at {f.ended - started:8.3f} s "
                f"({(f.ended - f.started) * 1000:.1f} ms): {f.kind:40} "
                f"since kill {since(kills):>9}, since swap {since(swaps):>9}"
                f"{'' if f.on_killed_worker(kills) else '  (not on a killed worker)'}"
            )
        print(
            f"  answered={answered} ({answered / seconds:.0f}/s) kills={len(kills)} "
            f"swaps={len(swaps)} failed={len(failures)} (on a killed worker's connections: "
            f"{near_kill})"
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
    parser.add_argument("--kill-every", type=float, default=60.0, help="soak; 0: never")
    parser.add_argument("--swap-every", type=float, default=30.0, help="soak; 0: never")
    parser.add_argument("--rounds", type=int, default=3, help="hostile rounds")
    parser.add_argument("--only", choices=["hostile", "kill"], help="one of the short runs")
    args = parser.parse_args()
    env = dict(os.environ)
    if args.soak:
        run_soak(env, args.soak, args.rate, args.kill_every, args.swap_every)
        return
    if args.only in (None, "hostile"):
        run_hostile(env, args.seconds, args.rounds)
    if args.only in (None, "kill"):
        run_kill(env, args.seconds * 2)


if __name__ == "__main__":
    main()
