"""The HTTP/1.1 connection handler the server runs: h11 with bounds.

A request head (request line and headers together) larger than
``MAX_HEAD_BYTES`` is refused with a 400 and the connection closed, after
reading at most that much, so an oversized header costs the worker next
to nothing. h11 checks its size cap only while a head is incomplete, so a
head that arrives in one read would pass whatever its size; data that
may hold a head is therefore fed to h11 in slices of ``_SLICE`` bytes
with the cap set one slice lower. Heads up to 12 KiB are always taken,
heads above 16 KiB always refused. A request must also arrive whole within ``read_timeout``
seconds of its first byte (or of the connection opening): a client that
sends half a request and waits is disconnected, where the keep-alive
timer alone starts only after a response.
"""

from __future__ import annotations

import asyncio
from typing import Any, Optional

import h11
from uvicorn.protocols.http.h11_impl import H11Protocol

__all__ = ["H11_INCOMPLETE_LIMIT", "MAX_HEAD_BYTES", "bounded_h11"]

# Search-box requests are a short GET; 16 KiB leaves room for cookies a
# site sets on its own domain.
MAX_HEAD_BYTES = 16 * 1024
_SLICE = 4 * 1024
H11_INCOMPLETE_LIMIT = MAX_HEAD_BYTES - _SLICE

# States in which nothing more of the current request is awaited.
_RECEIVED = (h11.DONE, h11.MUST_CLOSE, h11.CLOSED, h11.ERROR)


class _BoundedH11(H11Protocol):
    read_timeout = 5.0

    def connection_made(self, transport: asyncio.Transport) -> None:  # type: ignore[override]
        self._read_timer: Optional[asyncio.TimerHandle] = None
        super().connection_made(transport)
        self._arm()

    def _arm(self) -> None:
        if self._read_timer is None:
            self._read_timer = self.loop.call_later(self.read_timeout, self._timed_out)

    def _disarm(self) -> None:
        if self._read_timer is not None:
            self._read_timer.cancel()
            self._read_timer = None

    def _timed_out(self) -> None:
        self._read_timer = None
        if self.conn.their_state in _RECEIVED or self.transport.is_closing():
            return
        if self.cycle is None or self.cycle.response_complete:
            self.transport.close()

    def data_received(self, data: bytes) -> None:
        if self.conn.their_state is h11.IDLE:
            self._arm()  # the first bytes of a request start its clock
        view = memoryview(data)
        while (
            len(view) > _SLICE
            and self.conn.their_state is h11.IDLE
            and not self.transport.is_closing()
        ):
            super().data_received(bytes(view[:_SLICE]))
            view = view[_SLICE:]
        if len(view) and not self.transport.is_closing():
            super().data_received(bytes(view) if len(view) < len(data) else data)
        if self.conn.their_state in _RECEIVED:
            self._disarm()

    def on_response_complete(self) -> None:
        super().on_response_complete()
        # A pipelined request already partly buffered is on the clock too.
        if self.conn.their_state is h11.IDLE and self.conn.trailing_data[0]:
            self._arm()

    def connection_lost(self, exc: Optional[Exception]) -> None:
        self._disarm()
        super().connection_lost(exc)


def bounded_h11(read_timeout: float) -> Any:
    """The protocol class for uvicorn's ``http`` setting."""
    return type("BoundedH11Protocol", (_BoundedH11,), {"read_timeout": read_timeout})
