"""Running the app with uvicorn in supervised worker processes.

The indexes are loaded and the listening socket bound in the parent
before any worker exists; workers are forked from it, so they start at
once and share the indexes' pages copy-on-write (an index is never
written after it is built). The parent serves no requests; it supervises:

* a worker that dies (a crash, an out-of-memory kill) is replaced within
  a fraction of a second; the parent holds the listening socket, so the
  port never stops accepting. Workers that keep dying as soon as they
  start stop the server with an error instead of a restart loop.
* every worker stamps a shared heartbeat from its event loop ten times a
  second; one whose stamp is older than the watchdog interval (hung, or
  stopped) is killed and replaced.
* SIGINT or SIGTERM tells the workers to finish the requests in hand and
  stop; whatever is left after the drain time is killed, so a stop takes
  a bounded time whatever the workers do.

Reloading also happens in the parent: it loads the replacement file,
forks a new set of workers that share the new index, and tells the old
ones to drain (stop accepting, answer each request in hand with
``Connection: close``, exit once their connections are gone). No worker
ever pauses to decode an index.

Each worker bounds what a client can hold (see ``Bounds``).
"""

from __future__ import annotations

import ctypes
import gc
import logging
import mmap
import os
import resource
import shutil
import signal
import socket
import struct
import sys
import tempfile
import time
from dataclasses import dataclass
from types import FrameType
from typing import Dict, List, Mapping, Optional, Sequence, Union

import uvicorn
from starlette.applications import Starlette
from starlette.types import Message, Receive, Scope, Send

from .params import INDEX_NAME
from .protocol import H11_INCOMPLETE_LIMIT, bounded_h11
from .reloader import DEFAULT_NAME, Watcher

__all__ = ["Bounds", "ServeError", "bind", "index_arguments", "serve", "start"]

log = logging.getLogger("quillomar.web")

_STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM)
# Tells a worker to drain and exit: its replacements are running.
_RETIRE = signal.SIGUSR1
_HANDLED = (*_STOP_SIGNALS, _RETIRE)


@dataclass(frozen=True)
class Bounds:
    """What one worker allows a client, and how long it waits.

    ``read_timeout``: a request (line, headers and any body) must arrive
    within this many seconds of its first byte or of the connection
    opening. ``keep_alive``: an idle kept-alive connection is closed after
    this many seconds. ``max_connections``: open connections per worker;
    a request beyond them is answered 503. ``watchdog``: a worker whose
    event loop makes no progress for this long is killed and replaced.
    ``drain``: how long a stopping or retiring worker may finish the
    requests in hand before it is killed. The request line and headers
    together are capped at 16 KiB (see ``protocol``), beyond which the
    answer is 400 and the connection closes.
    """

    read_timeout: float = 5.0
    keep_alive: float = 5.0
    max_connections: int = 2048
    watchdog: float = 10.0
    drain: float = 10.0


class ServeError(Exception):
    """A server that cannot start; one line for the user."""


def bind(host: str, port: int) -> socket.socket:
    """A listening TCP socket; port 0 picks a free one."""
    try:
        infos = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE)
    except socket.gaierror as err:
        raise ServeError(f"cannot resolve host {host!r}: {err.strerror}") from None
    family, kind, proto, _, address = infos[0]
    sock = socket.socket(family, kind, proto)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        sock.bind(address)
        sock.listen(2048)
    except OSError as err:
        sock.close()
        raise ServeError(f"cannot listen on {host}:{port}: {err.strerror or err}") from None
    sock.set_inheritable(True)
    return sock


class _ClosingWhenDraining:
    """ASGI wrapper: once ``draining`` is set, every response closes its
    connection, so clients move to the new workers between requests
    rather than have a kept-alive connection closed under them."""

    def __init__(self, app: Starlette) -> None:
        self.app = app
        self.draining = False

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http" or not self.draining:
            await self.app(scope, receive, send)
            return

        async def send_closing(message: Message) -> None:
            if message["type"] == "http.response.start":
                headers = [
                    (k, v) for k, v in message.get("headers", []) if k.lower() != b"connection"
                ]
                headers.append((b"connection", b"close"))
                message = {**message, "headers": headers}
            await send(message)

        await self.app(scope, receive, send_closing)


class Heartbeats:
    """One monotonic time stamp per worker slot in memory shared across
    fork; CLOCK_MONOTONIC is one clock for all processes."""

    def __init__(self, slots: int) -> None:
        self._memory = mmap.mmap(-1, 8 * slots)
        self.free = list(range(slots))

    def beat(self, slot: int) -> None:
        struct.pack_into("d", self._memory, 8 * slot, time.monotonic())

    def age(self, slot: int) -> float:
        return time.monotonic() - struct.unpack_from("d", self._memory, 8 * slot)[0]


class _Server(uvicorn.Server):
    """uvicorn's server with a drain: ``retire`` (a flag, safe to set from
    a signal handler) makes it stop accepting, close each connection after
    its next answer and exit when none is left, or after ``drain``
    seconds. Each tick stamps the worker's heartbeat."""

    def __init__(
        self,
        config: uvicorn.Config,
        wrapper: _ClosingWhenDraining,
        drain: float,
        heartbeat: Optional[Heartbeats],
        slot: int,
    ) -> None:
        super().__init__(config)
        self.wrapper = wrapper
        self.drain = drain
        self.heartbeat = heartbeat
        self.slot = slot
        self.retire = False
        self._drain_deadline: Optional[float] = None

    async def on_tick(self, counter: int) -> bool:
        if self.heartbeat is not None:
            self.heartbeat.beat(self.slot)
        if self.retire and self._drain_deadline is None:
            self._drain_deadline = time.monotonic() + self.drain
            self.wrapper.draining = True
            for listener in self.servers:
                listener.close()
        if self._drain_deadline is not None and (
            not self.server_state.connections or time.monotonic() > self._drain_deadline
        ):
            return True
        return await super().on_tick(counter)


def _run_uvicorn(
    app: Starlette,
    sock: socket.socket,
    log_level: str,
    bounds: Bounds,
    heartbeat: Optional[Heartbeats] = None,
    slot: int = 0,
) -> None:
    wrapper = _ClosingWhenDraining(app)
    config = uvicorn.Config(
        wrapper,
        log_level=log_level,
        access_log=False,
        lifespan="on",
        # h11 is the parser that caps a request's head; the class adds
        # the read timeout.
        http=bounded_h11(bounds.read_timeout),
        h11_max_incomplete_event_size=H11_INCOMPLETE_LIMIT,
        limit_concurrency=bounds.max_connections,
        timeout_keep_alive=bounds.keep_alive,  # type: ignore[arg-type]
        timeout_graceful_shutdown=int(bounds.drain),
    )
    server = _Server(config, wrapper, bounds.drain, heartbeat, slot)

    # Until uvicorn installs its own handlers, a stop signal marks the
    # server as stopping so that it stops as soon as it has started. After
    # a signal-driven stop uvicorn raises the signal again with these
    # handlers back in place, which makes that stop a clean exit.
    def stop(sig: int, frame: Optional[FrameType]) -> None:
        server.should_exit = True

    def retire(sig: int, frame: Optional[FrameType]) -> None:
        server.retire = True

    for sig in _STOP_SIGNALS:
        signal.signal(sig, stop)
    signal.signal(_RETIRE, retire)
    signal.pthread_sigmask(signal.SIG_UNBLOCK, _HANDLED)
    server.run(sockets=[sock])


def _die_with_parent() -> None:
    # A worker must not outlive a parent killed without a chance to stop it.
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        pass


def _worker(
    app: Starlette,
    sock: socket.socket,
    log_level: str,
    bounds: Bounds,
    heartbeat: Heartbeats,
    slot: int,
) -> int:
    # Its own process group: a Ctrl-C at a terminal reaches the parent
    # only, which passes it on once (a second signal would make uvicorn
    # drop the connections in hand).
    os.setpgid(0, 0)
    _die_with_parent()
    try:
        _run_uvicorn(app, sock, log_level, bounds, heartbeat, slot)
    except BaseException:
        log.exception("worker failed")
        return 1
    return 0


@dataclass
class _Child:
    slot: int
    started: float
    retired_at: Optional[float] = None
    killed: bool = False


def _say(text: str) -> None:
    print(f"quillomar: {text}", file=sys.stderr, flush=True)


class _Supervisor:
    """The parent of the workers: starts them, replaces the ones that die
    or hang, swaps in new indexes by starting new workers, and stops them
    all on SIGINT or SIGTERM."""

    TICK = 0.05
    # Workers that die this soon after starting, this many times in a
    # row, cannot run: the server stops rather than fork forever.
    EARLY_DEATH = 1.0
    EARLY_DEATHS = 5

    def __init__(
        self,
        app: Starlette,
        sock: socket.socket,
        workers: int,
        log_level: str,
        watchers: List[Watcher],
        bounds: Bounds,
    ) -> None:
        self.app = app
        self.sock = sock
        self.workers = workers
        self.log_level = log_level
        self.watchers = watchers
        self.bounds = bounds
        # Room for a full set of current workers and a retiring set or two.
        self.heartbeats = Heartbeats(4 * workers + 4)
        self.children: Dict[int, _Child] = {}
        self.stopping = False
        self.kill_deadline = float("inf")
        self.early_deaths = 0
        self.status = 0

    def current(self) -> List[int]:
        return [pid for pid, c in self.children.items() if c.retired_at is None]

    def _spawn(self, count: int) -> None:
        # Stop signals wait until every new worker has its own handlers.
        signal.pthread_sigmask(signal.SIG_BLOCK, _HANDLED)
        try:
            for _ in range(count):
                if not self.heartbeats.free:
                    break  # only when retiring workers pile up; the next tick retries
                slot = self.heartbeats.free.pop()
                self.heartbeats.beat(slot)
                pid = os.fork()
                if pid == 0:
                    code = 1
                    try:
                        code = _worker(
                            self.app,
                            self.sock,
                            self.log_level,
                            self.bounds,
                            self.heartbeats,
                            slot,
                        )
                    finally:
                        os._exit(code)
                self.children[pid] = _Child(slot, time.monotonic())
        finally:
            signal.pthread_sigmask(signal.SIG_UNBLOCK, _HANDLED)

    def _signal(self, pid: int, sig: int) -> None:
        try:
            os.kill(pid, sig)
        except ProcessLookupError:
            pass

    def _stop(self, sig: int, frame: Optional[FrameType]) -> None:
        if self.stopping:
            return
        self.stopping = True
        self.kill_deadline = time.monotonic() + self.bounds.drain + 2.0
        # The workers hold their own copies; once they are gone the port
        # stops listening.
        self.sock.close()
        for pid in self.children:
            self._signal(pid, signal.SIGTERM)

    def _reload(self) -> None:
        swapped = [watcher.check() for watcher in self.watchers]  # every one, each on its own
        if not any(swapped):
            return
        gc.freeze()
        old = self.current()
        self._spawn(self.workers)
        now = time.monotonic()
        for pid in old:
            self.children[pid].retired_at = now
            self._signal(pid, _RETIRE)

    def _reap(self) -> None:
        from .metrics import process_gone

        while self.children:
            try:
                pid, code = os.waitpid(-1, os.WNOHANG)
            except ChildProcessError:
                self.children.clear()
                return
            if pid == 0:
                return
            child = self.children.pop(pid, None)
            if child is None:
                continue
            self.heartbeats.free.append(child.slot)
            process_gone(pid)
            exit_code = os.waitstatus_to_exitcode(code)
            if self.stopping:
                if exit_code != 0 and not child.killed:
                    self.status = 1
                continue
            if child.retired_at is not None:
                continue
            how = f"signal {-exit_code}" if exit_code < 0 else f"status {exit_code}"
            lived = time.monotonic() - child.started
            self.early_deaths = self.early_deaths + 1 if lived < self.EARLY_DEATH else 0
            if self.early_deaths >= self.EARLY_DEATHS:
                _say(f"workers keep stopping as they start ({how}); stopping")
                self.status = 1
                self._stop(signal.SIGTERM, None)
                continue
            _say(f"worker {pid} stopped unexpectedly ({how}); starting another")

    def _watch(self) -> None:
        now = time.monotonic()
        for pid, child in self.children.items():
            if child.killed:
                continue
            hung = self.heartbeats.age(child.slot) > self.bounds.watchdog
            overdue = child.retired_at is not None and (
                now - child.retired_at > self.bounds.drain + 2.0
            )
            if hung or overdue:
                if hung:
                    _say(f"worker {pid} made no progress in {self.bounds.watchdog:g} s; killing it")
                child.killed = True
                self._signal(pid, signal.SIGKILL)

    def run(self) -> int:
        for sig in _STOP_SIGNALS:
            signal.signal(sig, self._stop)
        self._spawn(self.workers)
        interval = min((w.interval for w in self.watchers), default=3600.0)
        next_check = time.monotonic() + interval
        while self.children:
            self._reap()
            if self.stopping:
                if time.monotonic() > self.kill_deadline:
                    for pid, child in self.children.items():
                        child.killed = True
                        self._signal(pid, signal.SIGKILL)
                    self.status = 1
                    self.kill_deadline = float("inf")
            else:
                self._watch()
                missing = self.workers - len(self.current())
                if missing > 0:
                    self._spawn(missing)
                if time.monotonic() >= next_check:
                    self._reload()
                    next_check = time.monotonic() + interval
            time.sleep(self.TICK)
        return self.status


def _raise_open_file_limit(bounds: Bounds) -> None:
    # Each connection is a descriptor; the common soft limit of 1,024
    # would refuse connections well below max_connections.
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    wanted = bounds.max_connections + 256
    if soft != resource.RLIM_INFINITY and soft < wanted:
        target = wanted if hard == resource.RLIM_INFINITY else min(wanted, hard)
        try:
            resource.setrlimit(resource.RLIMIT_NOFILE, (target, hard))
        except (ValueError, OSError):
            pass


def serve(
    app: Starlette,
    sock: socket.socket,
    *,
    workers: int = 1,
    log_level: str = "warning",
    watcher: Union[None, Watcher, List[Watcher]] = None,
    bounds: Bounds = Bounds(),
) -> int:
    """Serve ``app`` on ``sock`` from ``workers`` supervised processes
    until SIGINT or SIGTERM; the exit status. With watchers on the app's
    index files, replacements are swapped in by starting new workers."""
    watchers = [] if watcher is None else [watcher] if isinstance(watcher, Watcher) else watcher
    _raise_open_file_limit(bounds)
    # What exists now (the index's Python objects, titles, modules) lives
    # as long as the server: the collector stops scanning it, which saves
    # time in every full collection and, in forked workers, keeps it from
    # writing to (and so copying) the pages they share.
    gc.freeze()
    return _Supervisor(app, sock, workers, log_level, watchers, bounds).run()


IndexPaths = Union[None, str, Mapping[str, str]]


def _metrics_directory() -> Optional[str]:
    """Where the workers' metric files go: a fresh directory the server
    removes at exit, unless the environment names one already."""
    from .metrics import MULTIPROC_ENV

    if os.environ.get(MULTIPROC_ENV):
        return None
    directory = tempfile.mkdtemp(prefix="quillomar-metrics-")
    os.environ[MULTIPROC_ENV] = directory
    return directory


def index_arguments(given: Sequence[str]) -> IndexPaths:
    """None (the sample), one path, or names mapped to paths, from the
    command's INDEX arguments: NAME=PATH names one, unless a file is
    called that."""
    if not given:
        return None
    named: Dict[str, str] = {}
    for text in given:
        name, sep, path = text.partition("=")
        if not sep or not path or not INDEX_NAME.fullmatch(name) or os.path.exists(text):
            if len(given) == 1:
                return text
            raise ServeError(f"{text!r}: give each of several indexes as NAME=PATH")
        if name in named:
            raise ServeError(f"index {name!r} is given more than once")
        named[name] = path
    return named


def _describe(indexes: IndexPaths) -> str:
    if indexes is None:
        return "the sample index"
    if isinstance(indexes, str):
        return indexes
    return ", ".join(f"{name}={path}" for name, path in indexes.items())


def start(
    indexes: IndexPaths,
    *,
    host: str = "127.0.0.1",
    port: int = 8000,
    workers: int = 1,
    titles_path: Optional[str] = None,
    reload_on_change: bool = False,
    poll_interval: float = 1.0,
    log_level: str = "warning",
    default_index: Optional[str] = None,
    access_log: bool = False,
    bounds: Bounds = Bounds(),
) -> int:
    """Load the indexes (the sample one when ``indexes`` is None; a path;
    or names mapped to paths) and the titles, bind, say where, and serve;
    ServeError for what stops it."""
    if reload_on_change and indexes is None:
        raise ServeError("--reload-on-change needs an INDEX file to watch")
    logging.basicConfig(level=log_level.upper(), format="quillomar: %(levelname)s %(message)s")
    metrics_directory = _metrics_directory()
    try:
        app = _make_app(indexes, titles_path, default_index, access_log)
        sock = bind(host, port)
        bound_host, bound_port = sock.getsockname()[:2]
        shown = f"[{bound_host}]" if ":" in bound_host else bound_host
        _say(
            f"serving {_describe(indexes)} on "
            f"http://{shown}:{bound_port}/ with {workers} worker"
            f"{'' if workers == 1 else 's'} (Ctrl-C stops)"
        )
        watchers = []
        if reload_on_change:
            from .app import load_autocomplete

            watchers = [
                Watcher(holder, load_autocomplete, poll_interval, app.state.metrics)
                for holder in app.state.holders.values()
            ]
        return serve(
            app, sock, workers=workers, log_level=log_level, watcher=watchers, bounds=bounds
        )
    finally:
        if metrics_directory is not None:
            shutil.rmtree(metrics_directory, ignore_errors=True)


def _make_app(
    indexes: IndexPaths,
    titles_path: Optional[str],
    default_index: Optional[str],
    access_log: bool,
) -> Starlette:
    from ..autocomplete import Autocomplete
    from ..sample import sample_stored, sample_titles
    from .app import create_app, load_autocomplete
    from .titles import TitlesError, read_titles

    if titles_path is not None:
        try:
            titles = read_titles(titles_path)
        except TitlesError as err:
            raise ServeError(str(err)) from None
        except OSError as err:
            raise ServeError(f"cannot read titles {titles_path!r}: {err.strerror or err}") from None
    else:
        titles = sample_titles() if indexes is None else {}
    if indexes is None:
        autocomplete = Autocomplete(sample_stored())
        autocomplete.warm_up()
        return create_app(autocomplete, titles=titles, access_log=access_log)
    named: Mapping[str, str] = {DEFAULT_NAME: indexes} if isinstance(indexes, str) else indexes
    if default_index is not None and default_index not in named:
        raise ServeError(f"--default-index {default_index!r} is not one of {', '.join(named)}")
    loading: List[str] = []

    def load(path: str) -> Autocomplete:
        loading[:] = [path]
        return load_autocomplete(path)

    try:
        return create_app(
            named, titles=titles, default_index=default_index, access_log=access_log, loader=load
        )
    except OSError as err:
        raise ServeError(f"cannot read index {loading[0]!r}: {err.strerror or err}") from None
    except ValueError as err:
        raise ServeError(f"{loading[0]!r} is not a quillomar index ({err})") from None
