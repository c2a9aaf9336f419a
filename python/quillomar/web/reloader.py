"""Swapping in a new index file while requests are being answered.

A request reads ``IndexHolder.current`` once and uses that search-box
object to the end, so a swap is a single attribute assignment: no lock, no
request ever sees half of an index. The watcher thread notices that the
file was replaced (its device, inode, size or modification time changed),
loads the new file next to the one in service and swaps only when the load
succeeded; a file that does not load is logged and refused, and the old
index goes on serving until a later replacement loads.
"""

from __future__ import annotations

import logging
import os
import threading
import time
from dataclasses import dataclass
from typing import TYPE_CHECKING, Callable, Optional, Tuple

from ..autocomplete import Autocomplete

if TYPE_CHECKING:
    from .metrics import Metrics

__all__ = ["DEFAULT_NAME", "IndexHolder", "Loaded", "Watcher"]

# The name of the one index of a server given a single file.
DEFAULT_NAME = "default"

log = logging.getLogger("quillomar.web")

Signature = Tuple[int, int, int, int]
Loader = Callable[[str], Autocomplete]


def file_signature(path: str) -> Optional[Signature]:
    """What changes when the file is replaced or rewritten; None when it
    is missing (mid-replacement by some tools, or deleted)."""
    try:
        st = os.stat(path)
    except OSError:
        return None
    return (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns)


@dataclass(frozen=True)
class Loaded:
    """One index in service and where it came from."""

    autocomplete: Autocomplete
    path: Optional[str]
    generation: int
    loaded_at: float  # time.time()


class IndexHolder:
    """The index in service; replaced whole, never changed in place."""

    def __init__(
        self, autocomplete: Autocomplete, path: Optional[str], name: str = DEFAULT_NAME
    ) -> None:
        self.name = name
        self.current = Loaded(autocomplete, path, 1, time.time())

    def swap(self, autocomplete: Autocomplete) -> Loaded:
        old = self.current
        self.current = Loaded(autocomplete, old.path, old.generation + 1, time.time())
        return self.current


class Watcher:
    """Polls the holder's file every ``interval`` seconds in a daemon
    thread and swaps in each replacement that loads."""

    def __init__(
        self,
        holder: IndexHolder,
        loader: Loader,
        interval: float = 1.0,
        metrics: "Optional[Metrics]" = None,
    ) -> None:
        if holder.current.path is None:
            raise ValueError("reloading needs an index file")
        self.holder = holder
        self.path: str = holder.current.path
        self.loader = loader
        self.interval = interval
        self.metrics = metrics
        self._seen = file_signature(self.path)
        self._stop = threading.Event()
        self._thread: Optional[threading.Thread] = None

    def start(self) -> None:
        self._thread = threading.Thread(
            target=self._run, daemon=True, name="quillomar-index-watcher"
        )
        self._thread.start()

    def stop(self) -> None:
        self._stop.set()
        if self._thread is not None:
            self._thread.join()

    def _run(self) -> None:
        while not self._stop.wait(self.interval):
            self.check()

    def check(self) -> bool:
        """Load the file if it changed since last seen; True on a swap."""
        signature = file_signature(self.path)
        if signature is None or signature == self._seen:
            return False
        # Remembered before loading: a refused file is not retried until
        # it is replaced again.
        self._seen = signature
        started = time.monotonic()
        try:
            autocomplete = self.loader(self.path)
        except Exception as err:  # whatever the file holds, keep serving
            if self.metrics is not None:
                self.metrics.reload_failures.labels(self.holder.name).inc()
            log.error(
                "refused new index %s, still serving generation %d: %s",
                self.path,
                self.holder.current.generation,
                err,
            )
            return False
        loaded = self.holder.swap(autocomplete)
        took = time.monotonic() - started
        if self.metrics is not None:
            self.metrics.loaded(self.holder.name, loaded.generation, took)
        log.info(
            "serving new index %s (generation %d, loaded in %.0f ms)",
            self.path,
            loaded.generation,
            took * 1000,
        )
        return True
