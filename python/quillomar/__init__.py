"""Typo-tolerant prefix search over a compact character trie.

``PrefixSearch`` is the index (from the native extension ``_quillomar``);
``IndexBuilder`` and ``build_index`` make one from (term, video, count)
records; ``save`` and ``load`` store an index in a file; ``sample_index``
builds the small sample index shipped with the package. Importing this package also makes ``PrefixSearch`` objects
picklable (and so usable with ``copy.deepcopy`` and ``multiprocessing``).
"""

from _quillomar import PrefixSearch

from . import _pickle
from .autocomplete import Autocomplete, Completion, Suggestion
from .builder import (
    DEFAULT_TOP_N,
    IndexArrays,
    IndexBuilder,
    VideoId,
    build_index,
)
from .sample import sample_index, sample_records
from .storage import load, save

__all__ = [
    "Autocomplete",
    "Completion",
    "DEFAULT_TOP_N",
    "IndexArrays",
    "IndexBuilder",
    "PrefixSearch",
    "Suggestion",
    "VideoId",
    "build_index",
    "load",
    "sample_index",
    "sample_records",
    "save",
]

__version__ = "0.1.0"

_pickle.register()
