"""The native build engine (the ``_quillomar_build`` extension module),
reached through this module so that its types are described beside the
package (``_engine.pyi``)."""

from _quillomar_build import (
    Aggregator,
    DelimitedReader,
    MappedIndex,
    RecordError,
    SearchSection,
    search_section,
)

__all__ = [
    "Aggregator",
    "DelimitedReader",
    "MappedIndex",
    "RecordError",
    "SearchSection",
    "search_section",
]
