"""Running the app with uvicorn in one or several worker processes.

The index is loaded and the listening socket bound in the parent before
any worker exists; workers are forked from it, so they start at once and
share the index's pages copy-on-write (the index is never written after
it is built). One worker runs in the parent process itself. With several,
the parent only forwards SIGINT and SIGTERM to the workers, each of which
finishes the requests it has in hand and stops, and waits for them. A
worker that dies on its own stops the whole server with an error, so that
whatever supervises it sees the failure.
"""

from __future__ import annotations

import ctypes
import gc
import logging
import os
import signal
import socket
import sys
from types import FrameType
from typing import List, Optional

import uvicorn
from starlette.applications import Starlette

__all__ = ["ServeError", "bind", "serve", "start"]

log = logging.getLogger("quillomar.web")

_STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM)


class ServeError(Exception):
    """A server that cannot start; one line for the user."""


def bind(host: str, port: int) -> socket.socket:
    """A listening TCP socket; port 0 picks a free one."""
    try:
        infos = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM,
                                   flags=socket.AI_PASSIVE)
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
        raise ServeError(f"cannot listen on {host}:{port}: "
                         f"{err.strerror or err}") from None
    sock.set_inheritable(True)
    return sock


def _run_uvicorn(app: Starlette, sock: socket.socket, log_level: str) -> None:
    config = uvicorn.Config(app, log_level=log_level, access_log=False,
                            lifespan="on", timeout_graceful_shutdown=10)
    server = uvicorn.Server(config)

    # Until uvicorn installs its own handlers, a stop signal marks the
    # server as stopping so that it stops as soon as it has started. After
    # a signal-driven stop uvicorn raises the signal again with these
    # handlers back in place, which makes that stop a clean exit.
    def stop(sig: int, frame: Optional[FrameType]) -> None:
        server.should_exit = True

    for sig in _STOP_SIGNALS:
        signal.signal(sig, stop)
    signal.pthread_sigmask(signal.SIG_UNBLOCK, _STOP_SIGNALS)
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


def serve(app: Starlette, sock: socket.socket, *, workers: int = 1,
          log_level: str = "warning") -> int:
    """Serve ``app`` on ``sock`` until SIGINT or SIGTERM; the exit status."""
    if workers == 1:
        _run_uvicorn(app, sock, log_level)
        return 0
    # Objects made so far are never collected in the workers, so the
    # collector does not write to (and so copy) the pages they share.
    gc.freeze()
    children: List[int] = []
    stopping = []

    def forward(sig: int, frame: Optional[FrameType]) -> None:
        stopping.append(sig)
        for child in children:
            try:
                os.kill(child, signal.SIGTERM)
            except ProcessLookupError:
                pass

    # Signals wait until every worker exists and has its own handlers.
    signal.pthread_sigmask(signal.SIG_BLOCK, _STOP_SIGNALS)
    for sig in _STOP_SIGNALS:
        signal.signal(sig, forward)
    for _ in range(workers):
        pid = os.fork()
        if pid == 0:
            code = 1
            try:
                code = _worker(app, sock, log_level)
            finally:
                os._exit(code)
        children.append(pid)
    sock.close()
    signal.pthread_sigmask(signal.SIG_UNBLOCK, _STOP_SIGNALS)
    status = 0
    alive = set(children)
    while alive:
        try:
            pid, code = os.wait()
        except ChildProcessError:
            break
        alive.discard(pid)
        if not stopping:
            print(f"quillomar: worker {pid} stopped unexpectedly "
                  f"(status {os.waitstatus_to_exitcode(code)}); stopping",
                  file=sys.stderr)
            forward(signal.SIGTERM, None)
            status = 1
        elif os.waitstatus_to_exitcode(code) != 0:
            status = 1
    return status


def start(index_path: Optional[str], *, host: str = "127.0.0.1",
          port: int = 8000, workers: int = 1,
          titles_path: Optional[str] = None, reload_on_change: bool = False,
          poll_interval: float = 1.0, log_level: str = "warning") -> int:
    """Load the index (the sample one when ``index_path`` is None) and the
    titles, bind, say where, and serve; ServeError for what stops it."""
    from ..autocomplete import Autocomplete
    from ..sample import sample_index, sample_titles
    from .app import create_app
    from .titles import TitlesError, read_titles

    if reload_on_change and index_path is None:
        raise ServeError("--reload-on-change needs an INDEX file to watch")
    logging.basicConfig(level=log_level.upper(),
                        format="quillomar: %(levelname)s %(message)s")
    if titles_path is not None:
        try:
            titles = read_titles(titles_path)
        except TitlesError as err:
            raise ServeError(str(err)) from None
        except OSError as err:
            raise ServeError(f"cannot read titles {titles_path!r}: "
                             f"{err.strerror or err}") from None
    else:
        titles = sample_titles() if index_path is None else {}
    if index_path is None:
        autocomplete = Autocomplete(sample_index())
        app = create_app(autocomplete, titles=titles)
    else:
        try:
            app = create_app(index_path, titles=titles,
                             reload_on_change=reload_on_change,
                             poll_interval=poll_interval)
        except OSError as err:
            raise ServeError(f"cannot read index {index_path!r}: "
                             f"{err.strerror or err}") from None
        except ValueError as err:
            raise ServeError(f"{index_path!r} is not a quillomar index "
                             f"({err})") from None
    sock = bind(host, port)
    bound_host, bound_port = sock.getsockname()[:2]
    shown = f"[{bound_host}]" if ":" in bound_host else bound_host
    print(f"quillomar: serving {index_path or 'the sample index'} on "
          f"http://{shown}:{bound_port}/ with {workers} worker"
          f"{'' if workers == 1 else 's'} (Ctrl-C stops)",
          file=sys.stderr, flush=True)
    return serve(app, sock, workers=workers, log_level=log_level)
