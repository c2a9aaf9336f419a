"""Running the app with uvicorn in one or several worker processes.

The index is loaded and the listening socket bound in the parent before
any worker exists; workers are forked from it, so they start at once and
share the index's pages copy-on-write (the index is never written after
it is built). One worker without reloading runs in the parent itself.
Otherwise the parent supervises: it forwards SIGINT and SIGTERM to the
workers, each of which finishes the requests it has in hand and stops. A
worker that dies on its own stops the whole server with an error, so that
whatever supervises the server sees the failure.

Reloading happens in the parent, which serves no requests: it loads the
replacement file, forks a new set of workers that share the new index,
and tells the old ones to drain (stop accepting, answer each request in
hand with ``Connection: close``, exit once their connections are gone).
No worker ever pauses to decode an index, and after the swap the workers
share the new index as they shared the old one.
"""

from __future__ import annotations

import ctypes
import gc
import logging
import os
import signal
import socket
import sys
import time
from types import FrameType
from typing import Optional, Set

import uvicorn
from starlette.applications import Starlette
from starlette.types import Message, Receive, Scope, Send

from .reloader import Watcher

__all__ = ["ServeError", "bind", "serve", "start"]

log = logging.getLogger("quillomar.web")

_STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM)
# Tells a worker to drain and exit: its replacements are running.
_RETIRE = signal.SIGUSR1
_HANDLED = (*_STOP_SIGNALS, _RETIRE)


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


class _Server(uvicorn.Server):
    """uvicorn's server with a drain: ``retire`` (a flag, safe to set from
    a signal handler) makes it stop accepting, close each connection after
    its next answer and exit when none is left, or after DRAIN_SECONDS."""

    DRAIN_SECONDS = 10.0

    def __init__(self, config: uvicorn.Config, wrapper: _ClosingWhenDraining) -> None:
        super().__init__(config)
        self.wrapper = wrapper
        self.retire = False
        self._drain_deadline: Optional[float] = None

    async def on_tick(self, counter: int) -> bool:
        if self.retire and self._drain_deadline is None:
            self._drain_deadline = time.monotonic() + self.DRAIN_SECONDS
            self.wrapper.draining = True
            for listener in self.servers:
                listener.close()
        if self._drain_deadline is not None and (
            not self.server_state.connections or time.monotonic() > self._drain_deadline
        ):
            return True
        return await super().on_tick(counter)


def _run_uvicorn(app: Starlette, sock: socket.socket, log_level: str) -> None:
    wrapper = _ClosingWhenDraining(app)
    config = uvicorn.Config(
        wrapper, log_level=log_level, access_log=False, lifespan="on", timeout_graceful_shutdown=10
    )
    server = _Server(config, wrapper)

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


def _worker(app: Starlette, sock: socket.socket, log_level: str) -> int:
    # Its own process group: a Ctrl-C at a terminal reaches the parent
    # only, which passes it on once (a second signal would make uvicorn
    # drop the connections in hand).
    os.setpgid(0, 0)
    _die_with_parent()
    try:
        _run_uvicorn(app, sock, log_level)
    except BaseException:
        log.exception("worker failed")
        return 1
    return 0


class _Supervisor:
    """The parent of the workers: starts them, swaps in new indexes by
    starting new workers, and stops them all on SIGINT or SIGTERM."""

    def __init__(
        self,
        app: Starlette,
        sock: socket.socket,
        workers: int,
        log_level: str,
        watcher: Optional[Watcher],
    ) -> None:
        self.app = app
        self.sock = sock
        self.workers = workers
        self.log_level = log_level
        self.watcher = watcher
        self.current: Set[int] = set()
        self.retiring: Set[int] = set()
        self.stopping = False

    def _spawn(self) -> None:
        # Stop signals wait until every new worker has its own handlers.
        signal.pthread_sigmask(signal.SIG_BLOCK, _HANDLED)
        try:
            for _ in range(self.workers):
                pid = os.fork()
                if pid == 0:
                    code = 1
                    try:
                        code = _worker(self.app, self.sock, self.log_level)
                    finally:
                        os._exit(code)
                self.current.add(pid)
        finally:
            signal.pthread_sigmask(signal.SIG_UNBLOCK, _HANDLED)

    def _stop(self, sig: int, frame: Optional[FrameType]) -> None:
        self.stopping = True
        for pid in self.current | self.retiring:
            try:
                os.kill(pid, signal.SIGTERM)
            except ProcessLookupError:
                pass

    def _reload(self) -> None:
        if self.watcher is None or not self.watcher.check():
            return
        gc.freeze()
        old, self.current = self.current, set()
        self._spawn()
        self.retiring |= old
        for pid in old:
            os.kill(pid, _RETIRE)

    def run(self) -> int:
        for sig in _STOP_SIGNALS:
            signal.signal(sig, self._stop)
        self._spawn()
        status = 0
        next_check = time.monotonic()
        while self.current or self.retiring:
            try:
                pid, code = os.waitpid(-1, os.WNOHANG)
            except ChildProcessError:
                break
            if pid == 0:
                if not self.stopping and time.monotonic() >= next_check:
                    self._reload()
                    next_check = time.monotonic() + (
                        self.watcher.interval if self.watcher else 3600.0
                    )
                time.sleep(0.05)
                continue
            exit_code = os.waitstatus_to_exitcode(code)
            if pid in self.retiring:
                self.retiring.discard(pid)
            else:
                self.current.discard(pid)
                if not self.stopping:
                    print(
                        f"quillomar: worker {pid} stopped unexpectedly "
                        f"(status {exit_code}); stopping",
                        file=sys.stderr,
                    )
                    self._stop(signal.SIGTERM, None)
                    status = 1
            if exit_code != 0:
                status = 1
        return status


def serve(
    app: Starlette,
    sock: socket.socket,
    *,
    workers: int = 1,
    log_level: str = "warning",
    watcher: Optional[Watcher] = None,
) -> int:
    """Serve ``app`` on ``sock`` until SIGINT or SIGTERM; the exit status.
    With a ``watcher`` on the app's index file, replacements are swapped
    in by starting new workers."""
    # What exists now (the index's Python objects, titles, modules) lives
    # as long as the server: the collector stops scanning it, which saves
    # time in every full collection and, in forked workers, keeps it from
    # writing to (and so copying) the pages they share.
    gc.freeze()
    if workers == 1 and watcher is None:
        _run_uvicorn(app, sock, log_level)
        return 0
    return _Supervisor(app, sock, workers, log_level, watcher).run()


def start(
    index_path: Optional[str],
    *,
    host: str = "127.0.0.1",
    port: int = 8000,
    workers: int = 1,
    titles_path: Optional[str] = None,
    reload_on_change: bool = False,
    poll_interval: float = 1.0,
    log_level: str = "warning",
) -> int:
    """Load the index (the sample one when ``index_path`` is None) and the
    titles, bind, say where, and serve; ServeError for what stops it."""
    from ..autocomplete import Autocomplete
    from ..sample import sample_stored, sample_titles
    from .app import create_app, load_autocomplete
    from .titles import TitlesError, read_titles

    if reload_on_change and index_path is None:
        raise ServeError("--reload-on-change needs an INDEX file to watch")
    logging.basicConfig(level=log_level.upper(), format="quillomar: %(levelname)s %(message)s")
    if titles_path is not None:
        try:
            titles = read_titles(titles_path)
        except TitlesError as err:
            raise ServeError(str(err)) from None
        except OSError as err:
            raise ServeError(f"cannot read titles {titles_path!r}: {err.strerror or err}") from None
    else:
        titles = sample_titles() if index_path is None else {}
    if index_path is None:
        autocomplete = Autocomplete(sample_stored())
        autocomplete.warm_up()
        app = create_app(autocomplete, titles=titles)
    else:
        try:
            app = create_app(index_path, titles=titles)
        except OSError as err:
            raise ServeError(f"cannot read index {index_path!r}: {err.strerror or err}") from None
        except ValueError as err:
            raise ServeError(f"{index_path!r} is not a quillomar index ({err})") from None
    sock = bind(host, port)
    bound_host, bound_port = sock.getsockname()[:2]
    shown = f"[{bound_host}]" if ":" in bound_host else bound_host
    print(
        f"quillomar: serving {index_path or 'the sample index'} on "
        f"http://{shown}:{bound_port}/ with {workers} worker"
        f"{'' if workers == 1 else 's'} (Ctrl-C stops)",
        file=sys.stderr,
        flush=True,
    )
    watcher = (
        Watcher(app.state.holder, load_autocomplete, poll_interval) if reload_on_change else None
    )
    return serve(app, sock, workers=workers, log_level=log_level, watcher=watcher)
