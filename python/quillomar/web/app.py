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
from typing import Any, AsyncIterator, Callable, Dict, Mapping, Optional, Union

from starlette.applications import Starlette
from starlette.requests import Request
from starlette.responses import FileResponse, JSONResponse, Response
from starlette.routing import Mount, Route
from starlette.staticfiles import StaticFiles

from _quillomar import PrefixSearch

from .. import __version__
from ..autocomplete import Autocomplete, Completion
from .params import BadRequest, Limits, parse_complete
from .reloader import IndexHolder, Watcher

__all__ = ["create_app", "load_autocomplete"]

IndexOrPath = Union[Autocomplete, PrefixSearch, str, "os.PathLike[str]"]

_STATIC = resources.files("quillomar.web") / "static"


def _is_internal_failure(err: BaseException) -> bool:
    # The extension's internal-failure exception derives from BaseException
    # and is known by name only.
    return type(err).__name__ == "PanicException"


def load_autocomplete(path: str) -> Autocomplete:
    """Load an index file and put one query to it, so that a file that
    decodes but cannot be searched is refused before it serves anyone."""
    autocomplete = Autocomplete(path)
    try:
        autocomplete.complete("a")
        autocomplete.warm_up()
    except BaseException as err:
        if _is_internal_failure(err):
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


def create_app(
    index_or_path: IndexOrPath,
    *,
    titles: Optional[Mapping[str, str]] = None,
    reload_on_change: bool = False,
    poll_interval: float = 1.0,
    limits: Limits = Limits(),
    loader: Callable[[str], Autocomplete] = load_autocomplete,
) -> Starlette:
    """An ASGI app answering ``GET /complete``, ``/health`` and ``/``.

    ``index_or_path`` is an Autocomplete, an index, or an index file.
    ``titles`` maps video id text to the title shown beside it.
    With ``reload_on_change`` (a file only) the file is polled every
    ``poll_interval`` seconds and a replacement that loads is swapped in
    while requests go on being answered. Mount the result in a larger
    Starlette or FastAPI app with ``app.mount("/search", create_app(...))``.
    """
    path: Optional[str] = None
    if isinstance(index_or_path, Autocomplete):
        autocomplete = index_or_path
    elif isinstance(index_or_path, PrefixSearch):
        autocomplete = Autocomplete(index_or_path)
    else:
        path = os.fspath(index_or_path)
        autocomplete = loader(path)
    if reload_on_change and path is None:
        raise ValueError("reload_on_change needs the path of an index file")
    holder = IndexHolder(autocomplete, path)
    known_titles: Mapping[str, str] = titles or {}

    async def complete(request: Request) -> Response:
        started = time.perf_counter()
        try:
            params = parse_complete(request.scope["query_string"], limits)
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
            if _is_internal_failure(err):  # the server's fault, said so
                return _error(500, "the index in service is damaged")
            raise
        body = _render(answer, known_titles, time.perf_counter() - started)
        return Response(body, media_type="application/json")

    async def health(request: Request) -> Response:
        loaded = holder.current
        return JSONResponse(
            {
                "status": "ok",
                "version": __version__,
                "index": {
                    "path": loaded.path,
                    "generation": loaded.generation,
                    "loaded_at": loaded.loaded_at,
                },
                "titles": len(known_titles),
            }
        )

    async def page(request: Request) -> Response:
        return FileResponse(str(_STATIC / "index.html"), media_type="text/html; charset=utf-8")

    @contextlib.asynccontextmanager
    async def lifespan(app: Starlette) -> AsyncIterator[None]:
        # Started per worker process: threads do not survive a fork.
        watcher = Watcher(holder, loader, poll_interval) if reload_on_change else None
        if watcher is not None:
            watcher.start()
        app.state.watcher = watcher
        try:
            yield
        finally:
            if watcher is not None:
                watcher.stop()

    app = Starlette(
        routes=[
            Route("/complete", complete, methods=["GET"]),
            Route("/health", health, methods=["GET"]),
            Route("/", page, methods=["GET"]),
            Mount("/static", StaticFiles(directory=str(_STATIC)), name="static"),
        ],
        lifespan=lifespan,
    )
    app.state.holder = holder
    return app
