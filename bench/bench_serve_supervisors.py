"""Our worker supervisor against a pre-forking arbiter with uvicorn
workers (PyPI ``gunicorn`` and ``uvicorn-worker``), serving the same app.

The arbiter variant keeps everything but the supervisor: the app and its
indexes are loaded once in the parent (app preloading, so workers share
them copy-on-write), the workers run uvicorn with the same bounded h11
protocol and connection cap, metrics are marked dead as workers exit,
and a thread in the parent polls the index files and, on a swap, asks
the arbiter to reload (SIGHUP: new workers forked from the parent, old
ones sent SIGTERM). Measured, each with both supervisors:

* ``swap``: 8 keep-alive clients at --rate requests/s while the index
  file is replaced every --swap-every seconds: requests answered and
  failed (the old workers must not close a connection under a client);
* ``orphans``: the parent killed with SIGKILL: workers still running
  3 s later (they keep the port and stale indexes);
* ``limits``: a 64 KiB header with the arbiter's own request limits
  (4,094-byte line, 8,190-byte fields) and uvicorn's stock h11 worker:
  whether those limits reach the worker at all.

Loopback only, bounded; every process it starts is stopped. Reports
figures and asserts nothing. ``serve`` is the arbiter variant's own
entry point (the same arguments as ``quillomar serve``).
"""

from __future__ import annotations

import argparse
import os
import signal
import socket
import sys
import tempfile
import threading
import time
from pathlib import Path
from typing import Any, Dict, List, Optional

from bench_serve_faults import Probe
from common import Server

HERE = os.path.abspath(__file__)
ARBITER = [sys.executable, HERE, "serve"]


def serve_with_arbiter(argv: List[str]) -> int:
    from gunicorn.app.base import BaseApplication
    from uvicorn_worker import UvicornWorker

    from quillomar.cli import make_parser
    from quillomar.web import server as ours
    from quillomar.web.app import load_autocomplete
    from quillomar.web.metrics import process_gone
    from quillomar.web.protocol import H11_INCOMPLETE_LIMIT, bounded_h11
    from quillomar.web.reloader import Watcher

    args = make_parser().parse_args(["serve", *argv])
    stock = bool(os.environ.get("BENCH_STOCK_WORKER"))
    bounds = ours.Bounds(
        args.read_timeout, args.keep_alive, args.max_connections, args.watchdog, args.drain
    )
    ours._metrics_directory()
    app = ours._make_app(ours.index_arguments(args.index), args.titles, None, False)
    sock = ours.bind(args.host, args.port)
    watchers = [
        Watcher(holder, load_autocomplete, args.poll_interval, app.state.metrics)
        for holder in app.state.holders.values()
        if args.reload_on_change
    ]

    class Worker(UvicornWorker):  # type: ignore[misc]
        def __init__(self, *a: Any, **k: Any) -> None:
            super().__init__(*a, **k)
            self.config.http = "h11" if stock else bounded_h11(bounds.read_timeout)
            if not stock:
                self.config.h11_max_incomplete_event_size = H11_INCOMPLETE_LIMIT
            self.config.limit_concurrency = bounds.max_connections
            self.config.lifespan = "on"
            self.config.timeout_graceful_shutdown = int(bounds.drain)

    def poll() -> None:
        while True:
            time.sleep(args.poll_interval)
            if any([w.check() for w in watchers]):
                os.kill(os.getpid(), signal.SIGHUP)

    class Arbiter(BaseApplication):  # type: ignore[misc]
        def load_config(self) -> None:
            options: Dict[str, Any] = {
                "bind": [f"fd://{sock.fileno()}"],
                "workers": args.workers,
                "worker_class": Worker,
                "preload_app": True,
                "timeout": max(1, int(args.watchdog)),
                "graceful_timeout": max(1, int(args.drain)),
                "keepalive": max(1, int(args.keep_alive)),
                "limit_request_line": 4094,
                "limit_request_field_size": 8190,
                "child_exit": lambda server, worker: process_gone(worker.pid),
                "when_ready": lambda server: (
                    watchers and threading.Thread(target=poll, daemon=True).start()
                ),
            }
            for key, value in options.items():
                self.cfg.set(key, value)

        def load(self) -> Any:
            return app

    host, port = sock.getsockname()[:2]
    print(f"arbiter: serving on http://{host}:{port}/", file=sys.stderr, flush=True)
    sys.argv = sys.argv[:1]
    try:
        Arbiter().run()
    except SystemExit as done:
        return int(done.code or 0)
    return 0


def commands() -> Dict[str, Optional[List[str]]]:
    return {"ours": None, "arbiter": ARBITER}


def run_swap(env: Dict[str, str], seconds: float, rate: float, every: float) -> None:
    import quillomar
    from quillomar.sample import sample_records

    records = list(sample_records())
    print(f"index swapped every {every:g} s for {seconds:g} s, 8 keep-alive clients at {rate:g}/s")
    for name, command in commands().items():
        index = Path(tempfile.mkdtemp(prefix="quillomar-sup-")) / "live.idx"
        quillomar.save(quillomar.build_index(records), index)
        args = [str(index), "--workers", "2", "--reload-on-change", "--poll-interval", "0.5"]
        server = Server(args, env, command=command)
        try:
            server.wait_workers(2)
            stop = threading.Event()
            probes = [Probe(server.port, 8 / rate, stop, "/complete?q=gutiar") for _ in range(8)]
            for p in probes:
                p.start()
            swaps = 0
            started = time.monotonic()
            while time.monotonic() - started < seconds:
                time.sleep(every)
                swaps += 1
                new = str(index) + ".new"
                quillomar.save(quillomar.build_index(records[swaps % 7 :]), new)
                os.replace(new, index)
            time.sleep(2)  # the last swap done
            stop.set()
            for p in probes:
                p.join()
            failures = [f for p in probes for f in p.failures]
            kinds = sorted({f.kind.split(":")[0] for f in failures})
            answered = sum(len(p.latencies) for p in probes)
            print(
                f"  {name:8} answered={answered} failed={len(failures)} "
                f"({', '.join(kinds) or 'none'}) over {swaps} swaps"
            )
        finally:
            server.stop()


def _alive(pid: int) -> bool:
    try:
        return "zombie" not in Path(f"/proc/{pid}/status").read_text()
    except OSError:
        return False


def run_orphans(env: Dict[str, str]) -> None:
    print("parent killed with SIGKILL: workers still running 3 s later")
    for name, command in commands().items():
        server = Server(["--workers", "2"], env, command=command)
        server.wait_workers(2)
        workers = server.workers()
        server.proc.kill()
        server.proc.wait()
        time.sleep(3)
        left = [pid for pid in workers if _alive(pid)]
        print(f"  {name:8} {len(left)} of {len(workers)}")
        for pid in left:
            os.kill(pid, signal.SIGKILL)


def run_limits(env: Dict[str, str]) -> None:
    head = b"GET /health HTTP/1.1\r\nHost: x\r\nX: " + b"a" * 65536 + b"\r\n\r\n"
    print("a 64 KiB header")
    stock = {**env, "BENCH_STOCK_WORKER": "1"}
    for name, command, environ in [
        ("ours", None, env),
        ("arbiter, its limits and the stock h11 worker", ARBITER, stock),
    ]:
        server = Server([], environ, command=command)
        try:
            server.wait_workers(1)
            with socket.create_connection(("127.0.0.1", server.port), timeout=10) as s:
                s.sendall(head)
                status = s.recv(64).split(b"\r\n")[0].decode()
            print(f"  {name}: {status}")
        finally:
            server.stop()


def main() -> None:
    if sys.argv[1:2] == ["serve"]:
        sys.exit(serve_with_arbiter(sys.argv[2:]))
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seconds", type=float, default=30.0, help="of the swap run; 0: none")
    parser.add_argument("--swap-every", type=float, default=5.0)
    parser.add_argument("--rate", type=float, default=1000.0, help="requests/s")
    args = parser.parse_args()
    env = dict(os.environ)
    if args.seconds:
        run_swap(env, args.seconds, args.rate, args.swap_every)
    run_orphans(env)
    run_limits(env)


if __name__ == "__main__":
    main()
