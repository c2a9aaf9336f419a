"""A small progress bar for long command-line runs, drawn on stderr.

It draws only when stderr is a terminal and the run has lasted a little
while, so short runs and redirected output see nothing.
"""

from __future__ import annotations

import sys
import time
from typing import IO, Optional

__all__ = ["ProgressBar"]


class ProgressBar:
    """Draws ``label [#####.....]  45%  1,234,567 rows  63 of 141 MB`` in
    place."""

    WIDTH = 30

    def __init__(
        self, label: str, stream: Optional[IO[str]] = None, delay: float = 0.5, force: bool = False
    ) -> None:
        self._label = label
        self._stream = stream if stream is not None else sys.stderr
        self._enabled = force or _is_terminal(self._stream)
        self._start = time.monotonic()
        self._delay = delay
        self._drawn = False
        self._rows = 0

    def update(self, done: int, total: int, rows: Optional[int] = None) -> None:
        if rows is not None:
            self._rows = rows
        if not self._enabled:
            return
        if not self._drawn and time.monotonic() - self._start < self._delay:
            return
        fraction = min(1.0, done / total) if total > 0 else 1.0
        filled = int(fraction * self.WIDTH)
        bar = "#" * filled + "." * (self.WIDTH - filled)
        text = f"\r{self._label} [{bar}] {fraction:4.0%}"
        if self._rows:
            text += f"  {self._rows:,} rows"
        if total >= 1_000_000:  # bytes are worth showing from a megabyte on
            text += f"  {done / 1e6:,.0f} of {total / 1e6:,.0f} MB"
        self._stream.write(text)
        self._stream.flush()
        self._drawn = True

    def close(self) -> None:
        """End the bar's line, if one was drawn."""
        if self._drawn:
            self._stream.write("\n")
            self._stream.flush()
            self._drawn = False


def _is_terminal(stream: IO[str]) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False
