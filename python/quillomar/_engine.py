"""The native build engine (the ``_quillomar_build`` extension module),
reached through this module so that its types are described beside the
package (``_engine.pyi``).

The engine names the identifier kinds 'int' and 'uuid'; the package says
'int32' and 'uuid', as the stored form does. The two translations below are
the only places where the engine's names meet the package's.
"""

from typing import Optional

from _quillomar_build import (
    Aggregator,
    BadRecordError,
    DelimitedReader,
    MappedIndex,
    SearchSection,
    TermIndex,
    decoded_length,
    search_section,
)

from ._validation import INT32, UUID

__all__ = [
    "Aggregator",
    "BadRecordError",
    "DelimitedReader",
    "MappedIndex",
    "SearchSection",
    "TermIndex",
    "decoded_length",
    "engine_kind",
    "id_mode_of",
    "search_section",
]

_ID_MODE_OF_KIND = {"int": INT32, "uuid": UUID}
_KIND_OF_ID_MODE = {mode: kind for kind, mode in _ID_MODE_OF_KIND.items()}


def id_mode_of(kind: Optional[str]) -> Optional[str]:
    """The package's name of the engine's identifier kind (None: no ids yet)."""
    return None if kind is None else _ID_MODE_OF_KIND[kind]


def engine_kind(id_mode: str) -> str:
    """The engine's name of an identifier kind the package names."""
    return _KIND_OF_ID_MODE[id_mode]
