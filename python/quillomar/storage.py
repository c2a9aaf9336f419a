"""Saving an index to a file and loading it back."""

from __future__ import annotations

import os
from typing import Union

from _quillomar import PrefixSearch

from ._atomic import write_atomic

__all__ = ["load", "save"]

PathLike = Union[str, "os.PathLike[str]"]


def save(index: PrefixSearch, path: PathLike) -> None:
    """Write ``index.to_bytes()`` to ``path`` atomically.

    The bytes go to a temporary file in the same directory, are flushed to
    disk and then renamed over ``path``: a reader sees the old file or the
    new one, and a failure leaves the old file as it was.
    """
    write_atomic(path, index.to_bytes())


def load(path: PathLike) -> PrefixSearch:
    """Read an index that :func:`save` (or ``to_bytes``) wrote.

    Raises OSError if the file cannot be read and ValueError ("decode
    error: ...") if it does not hold an index.
    """
    with open(os.fspath(path), "rb") as f:
        return PrefixSearch.from_bytes(f.read())
