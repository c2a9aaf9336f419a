"""The ASGI application: completion as JSON, a health check and the page.

The layer is thin on purpose: it checks the request, asks the search-box
object and turns its answer into JSON. Ranking, normalisation and the
choice of edits all stay in the library, so a page and a Python caller
get the same answers.
"""

from __future__ import annotations

import contextlib
import json
import os
import time
from importlib import resources
from typing import Any, AsyncIterator, Callable, Dict, List, Mapping, Optional, Tuple, Union

from starlette.applications import Starlette
from starlette.requests import Request
from starlette.responses import FileResponse, JSONResponse, Response
from starlette.routing import Mount, Route
from starlette.staticfiles import StaticFiles

from _quillomar import PrefixSearch

from .. import __version__
from .._internal_failure import is_internal_failure
from ..autocomplete import Autocomplete, Completion
from ..storage import load
from .metrics import CONTENT_TYPE, AccessLog, Metrics
from .middleware import Guard
from .params import BadRequest, Limits, parse_complete
from .reloader import DEFAULT_NAME, IndexHolder, Loaded, Watcher

__all__ = ["create_app", "load_autocomplete"]

IndexOrPath = Union[Autocomplete, PrefixSearch, str, "os.PathLike[str]"]

_STATIC = resources.files("quillomar.web") / "static"


def load_autocomplete(path: str) -> Autocomplete:
    """Load an index file and put one query to it, so that a file that
    decodes but cannot be searched is refused before it serves anyone. A
    mapped file's checksums are verified first (one pass over it), so that
    a damaged file is refused rather than served."""
    autocomplete = Autocomplete(load(path, verify=True))
    try:
        autocomplete.complete("a")
        autocomplete.warm_up()
    except BaseException as err:
        if is_internal_failure(err):
            raise ValueError(f"the index is damaged ({err})") from None
        raise
    return autocomplete


def _error(status: int, message: str) -> JSONResponse:
    return JSONResponse({"error": message}, status_code=status)


def _render(completion: Completion, titles: Mapping[str, str], took: float) -> bytes:
    results = []
    for s in completion.results:
        item: Dict[str, Any] = {
            "id": s.video,
            "score": s.score,
            "corrected": s.corrected,
            "how": s.how,
        }
        title = titles.get(s.video)
        if title is not None:
            item["title"] = title
        results.append(item)
    body = {
        "query": completion.query,
        "corrected": completion.corrected,
        "results": results,
        "suggestions": [
            {
                "text": g.text,
                "score": g.score,
                "how": g.how,
                "corrected": g.corrected,
                "highlight": [list(r) for r in g.highlight],
            }
            for g in completion.suggestions
        ],
        "took_ms": round(took * 1000, 3),
    }
    return json.dumps(body, ensure_ascii=False, separators=(",", ":")).encode()


def _as_autocomplete(
    index_or_path: IndexOrPath, loader: Callable[[str], Autocomplete]
) -> Tuple[Autocomplete, Optional[str], float]:
    """The search-box object, the file it came from and its load time."""
    if isinstance(index_or_path, Autocomplete):
        return index_or_path, None, 0.0
    if isinstance(index_or_path, PrefixSearch):
        return Autocomplete(index_or_path), None, 0.0
    path = os.fspath(index_or_path)
    started = time.monotonic()
    autocomplete = loader(path)
    return autocomplete, path, time.monotonic() - started


def create_app(
    index_or_path: Union[IndexOrPath, Mapping[str, IndexOrPath]],
    *,
    titles: Optional[Mapping[str, str]] = None,
    reload_on_change: bool = False,
    poll_interval: float = 1.0,
    limits: Limits = Limits(),
    loader: Callable[[str], Autocomplete] = load_autocomplete,
    default_index: Optional[str] = None,
    access_log: bool = False,
) -> Starlette:
    """An ASGI app answering ``GET /complete``, ``/health``, ``/metrics``
    and ``/``.

    ``index_or_path`` is an Autocomplete, an index, or an index file; or a
    mapping of names to those, for several indexes from one app:
    ``/complete?index=NAME`` picks one, and without ``index`` the
    ``default_index`` answers (the mapping's first when not given).
    ``titles`` maps video id text to the title shown beside it.
    With ``reload_on_change`` (files only) each file is polled every
    ``poll_interval`` seconds and a replacement that loads is swapped in
    while requests go on being answered. ``access_log`` writes one JSON
    line per request to standard error. Mount the result in a larger
    Starlette or FastAPI app with ``app.mount("/search", create_app(...))``.
    """
    named: Mapping[str, IndexOrPath] = (
        index_or_path if isinstance(index_or_path, Mapping) else {DEFAULT_NAME: index_or_path}
    )
    if not named:
        raise ValueError("no index to serve")
    metrics = Metrics()
    holders: Dict[str, IndexHolder] = {}
    for name, source in named.items():
        autocomplete, path, took = _as_autocomplete(source, loader)
        if reload_on_change and path is None:
            raise ValueError("reload_on_change needs the path of an index file")
        holders[name] = IndexHolder(autocomplete, path, name)
        metrics.loaded(name, 1, took)
    default = next(iter(holders)) if default_index is None else default_index
    if default not in holders:
        raise ValueError(f"the default index {default!r} is not one of {', '.join(holders)}")
    known_titles: Mapping[str, str] = titles or {}

    async def complete(request: Request) -> Response:
        started = time.perf_counter()
        try:
            params = parse_complete(request.scope["query_string"], limits)
            name = default if params.index is None else params.index
            holder = holders.get(name)
            if holder is None:
                raise BadRequest(f"index must be one of {', '.join(holders)}")
            request.scope.setdefault("state", {})["quillomar.index"] = name
            answer = holder.current.autocomplete.complete(
                params.q, limit=params.limit, max_dist=params.max_dist
            )
        except BadRequest as err:
            return _error(400, str(err))
        except ValueError as err:
            # Text the library refuses (for example one that normalises
            # to nothing it can search) is still the request's fault.
            return _error(400, f"q cannot be searched: {err}")
        except BaseException as err:
            if is_internal_failure(err):  # the server's fault, said so
                return _error(500, "the index in service is damaged")
            raise
        body = _render(answer, known_titles, time.perf_counter() - started)
        return Response(body, media_type="application/json")

    def describe(loaded: Loaded) -> Dict[str, Any]:
        return {"path": loaded.path, "generation": loaded.generation, "loaded_at": loaded.loaded_at}

    async def health(request: Request) -> Response:
        return JSONResponse(
            {
                "status": "ok",
                "version": __version__,
                "index": describe(holders[default].current),
                "indexes": {name: describe(h.current) for name, h in holders.items()},
                "default_index": default,
                "titles": len(known_titles),
            }
        )

    async def page(request: Request) -> Response:
        return FileResponse(str(_STATIC / "index.html"), media_type="text/html; charset=utf-8")

    async def metrics_page(request: Request) -> Response:
        return Response(metrics.render(), media_type=CONTENT_TYPE)

    @contextlib.asynccontextmanager
    async def lifespan(app: Starlette) -> AsyncIterator[None]:
        # Started per worker process: threads do not survive a fork.
        watchers = (
            [Watcher(h, loader, poll_interval, metrics) for h in holders.values()]
            if reload_on_change
            else []
        )
        for watcher in watchers:
            watcher.start()
        app.state.watcher = watchers[0] if watchers else None
        app.state.watchers = watchers
        try:
            yield
        finally:
            for watcher in watchers:
                watcher.stop()

    routes = {"/complete": complete, "/health": health, "/metrics": metrics_page}
    app = Starlette(
        routes=[
            *(Route(path, endpoint, methods=["GET"]) for path, endpoint in routes.items()),
            Route("/", page, methods=["GET"]),
            Mount("/static", StaticFiles(directory=str(_STATIC)), name="static"),
        ],
        lifespan=lifespan,
    )
    # Redirects are built by the guard, from the path alone.
    app.router.redirect_slashes = False
    app.add_middleware(_Guarded, routes=list(routes), metrics=metrics, access_log=access_log)
    app.state.holder = holders[default]
    app.state.holders = holders
    app.state.metrics = metrics
    return app


class _Guarded(Guard):
    """The guard as Starlette middleware (which passes options by name)."""

    def __init__(self, app: Any, *, routes: List[str], metrics: Metrics, access_log: bool) -> None:
        super().__init__(app, routes, metrics, AccessLog() if access_log else None)
