"""Pickling support for PrefixSearch, registered with copyreg on import.

The extension type has no reduce method of its own; its stored form is
``to_bytes()``, so a pickle holds those bytes and is restored with
``from_bytes``. The type reports its module as ``builtins``, so the restoring
function must be a named function of this package, not the static method.
"""

from __future__ import annotations

import copyreg
from typing import Callable, Tuple

from _quillomar import PrefixSearch


def restore(data: bytes) -> PrefixSearch:
    """Rebuild an index from the bytes ``PrefixSearch.to_bytes`` wrote."""
    return PrefixSearch.from_bytes(data)


def _reduce(index: PrefixSearch) -> Tuple[Callable[[bytes], PrefixSearch], Tuple[bytes]]:
    return restore, (index.to_bytes(),)


def register() -> None:
    """Make pickle, copy and deepcopy of PrefixSearch work (idempotent)."""
    copyreg.pickle(PrefixSearch, _reduce)
