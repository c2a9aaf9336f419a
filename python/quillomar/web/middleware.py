"""What wraps every HTTP exchange: security headers, trailing-slash
redirects built from the path alone, metrics and the access log."""

from __future__ import annotations

import time
from typing import Iterable, List, Optional, Tuple
from urllib.parse import quote

from starlette.types import ASGIApp, Message, Receive, Scope, Send

from .metrics import AccessLog, Metrics

__all__ = ["CSP", "Guard"]

# The page loads its script and style from /static and fetches
# /complete; nothing else, nothing inline, never framed.
CSP = (
    "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
    "img-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'"
)
_HEADERS: List[Tuple[bytes, bytes]] = [
    (b"x-content-type-options", b"nosniff"),
    (b"content-security-policy", CSP.encode()),
    (b"referrer-policy", b"no-referrer"),
]


class Guard:
    """ASGI wrapper around the app. ``routes`` are the exact paths the app
    answers; a request for one of them with a trailing slash is sent to it
    with a relative Location, never one naming the request's Host."""

    def __init__(
        self,
        app: ASGIApp,
        routes: Iterable[str],
        metrics: Metrics,
        access_log: Optional[AccessLog] = None,
    ) -> None:
        self.app = app
        self.routes = frozenset(routes)
        self.metrics = metrics
        self.access_log = access_log

    def _route(self, path: str) -> str:
        if path in self.routes:
            return path
        return "/static" if path.startswith("/static/") else "other"

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        started = time.perf_counter()
        status = 500
        path: str = scope["path"]
        recorded = False

        def record() -> None:
            # Counted before the last byte leaves, so a client that has its
            # answer always finds it counted, even if the worker dies next.
            nonlocal recorded
            if recorded:
                return
            recorded = True
            took = time.perf_counter() - started
            route = self._route(path)
            self.metrics.requests.labels(route, str(status)).inc()
            self.metrics.latency.labels(route).observe(took)
            if self.access_log is not None:
                client = scope.get("client")
                self.access_log.write(
                    method=scope["method"],
                    path=path,
                    status=status,
                    seconds=took,
                    client=client[0] if client else None,
                    index=scope.get("state", {}).get("quillomar.index"),
                )

        async def send_guarded(message: Message) -> None:
            nonlocal status
            if message["type"] == "http.response.start":
                status = message["status"]
                message = {**message, "headers": [*message.get("headers", []), *_HEADERS]}
            elif message["type"] == "http.response.body" and not message.get("more_body"):
                record()
            await send(message)

        try:
            stripped = path.rstrip("/")
            if path != stripped and stripped in self.routes:
                await _redirect(scope, stripped, send_guarded)
            else:
                await self.app(scope, receive, send_guarded)
        finally:
            record()


async def _redirect(scope: Scope, path: str, send: Send) -> None:
    location = quote(scope.get("root_path", "") + path).encode("ascii")
    if scope.get("query_string"):
        location += b"?" + scope["query_string"]
    # A path starting "//" would name another host in a relative Location.
    location = b"/" + location.lstrip(b"/")
    await send(
        {
            "type": "http.response.start",
            "status": 308,
            "headers": [(b"location", location), (b"content-length", b"0")],
        }
    )
    await send({"type": "http.response.body", "body": b""})
