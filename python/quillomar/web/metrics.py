"""What an operator watches: Prometheus metrics and the access log.

Under ``quillomar serve`` every worker is its own process, so the values
live in files under a directory named by ``PROMETHEUS_MULTIPROC_DIR``
(set by the server before the first Metrics, and so before
prometheus-client is imported: it picks where values live at import) and
``/metrics`` adds up the files of all workers, the ones that have exited
included: a count never goes backwards because a worker was replaced.
The index gauges are set by the process that loads indexes (the server's
parent) and report its most recent value. Without that directory (the app
run by another ASGI server, or in tests) the values live in memory.
"""

from __future__ import annotations

import json
import logging
import os
import sys
import time
from typing import Optional

__all__ = ["CONTENT_TYPE", "MULTIPROC_ENV", "AccessLog", "Metrics", "process_gone"]

MULTIPROC_ENV = "PROMETHEUS_MULTIPROC_DIR"
CONTENT_TYPE = "text/plain; version=0.0.4; charset=utf-8"

# Completion answers take well under a millisecond to tens of them.
_BUCKETS = (0.0005, 0.001, 0.002, 0.005, 0.01, 0.02, 0.05, 0.1, 0.25, 0.5, 1.0, 2.5)


class Metrics:
    """The server's metrics; one instance per app."""

    def __init__(self) -> None:
        from prometheus_client import CollectorRegistry, Counter, Gauge, Histogram

        self.multiprocess_dir: Optional[str] = os.environ.get(MULTIPROC_ENV) or None
        self.registry = CollectorRegistry()
        registry = None if self.multiprocess_dir else self.registry
        self.requests = Counter(
            "quillomar_http_requests",
            "HTTP requests answered, by route and status",
            ["route", "status"],
            registry=registry,
        )
        self.latency = Histogram(
            "quillomar_http_request_duration_seconds",
            "Time from a request's arrival in the app to the end of its answer",
            ["route"],
            buckets=_BUCKETS,
            registry=registry,
        )
        self.generation = Gauge(
            "quillomar_index_generation",
            "Generation of the index in service (1 at start, +1 per swap)",
            ["index"],
            multiprocess_mode="mostrecent",
            registry=registry,
        )
        self.load_seconds = Gauge(
            "quillomar_index_load_seconds",
            "Time the index in service took to load and check",
            ["index"],
            multiprocess_mode="mostrecent",
            registry=registry,
        )
        self.reload_failures = Counter(
            "quillomar_index_reload_failures",
            "Replacement index files refused",
            ["index"],
            registry=registry,
        )

    def loaded(self, index: str, generation: int, seconds: float) -> None:
        self.generation.labels(index).set(generation)
        self.load_seconds.labels(index).set(seconds)

    def render(self) -> bytes:
        from prometheus_client import CollectorRegistry, generate_latest, multiprocess

        if self.multiprocess_dir is None:
            return generate_latest(self.registry)
        registry = CollectorRegistry()
        multiprocess.MultiProcessCollector(registry, path=self.multiprocess_dir)
        return generate_latest(registry)


def process_gone(pid: int) -> None:
    """Forget the live-only values of an exited worker."""
    if os.environ.get(MULTIPROC_ENV):
        from prometheus_client import multiprocess

        multiprocess.mark_process_dead(pid)


class AccessLog:
    """One JSON object per line per request, on standard error."""

    def __init__(self) -> None:
        self.log = logging.getLogger("quillomar.access")
        self.log.propagate = False
        if not self.log.handlers:
            handler = logging.StreamHandler(sys.stderr)
            handler.setFormatter(logging.Formatter("%(message)s"))
            self.log.addHandler(handler)
        self.log.setLevel(logging.INFO)

    def write(
        self,
        *,
        method: str,
        path: str,
        status: int,
        seconds: float,
        client: Optional[str],
        index: Optional[str],
    ) -> None:
        self.log.info(
            json.dumps(
                {
                    "time": round(time.time(), 3),
                    "method": method,
                    "path": path,
                    "status": status,
                    "ms": round(seconds * 1000, 3),
                    "client": client,
                    "index": index,
                    "pid": os.getpid(),
                },
                ensure_ascii=False,
                separators=(",", ":"),
            )
        )
