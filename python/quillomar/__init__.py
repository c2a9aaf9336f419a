"""Typo-tolerant prefix search over a compact character trie.

``PrefixSearch`` is the index (from the native extension ``_quillomar``);
``IndexBuilder`` and ``build_index`` make one from (term, video, count)
records; ``save`` and ``load`` store an index in a file with its metadata
(how its terms were normalised, its counts); ``Autocomplete`` answers text
as people type it, normalised and with typing-aware defaults;
``sample_index`` builds the small sample index shipped with the package.
Importing this package also makes ``PrefixSearch`` objects
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
from .metadata import IndexMetadata, MetadataError
from .normalization import Normalization, get_normalization
from .sample import sample_index, sample_records
from .storage import StoredIndex, load, read_metadata, save

__all__ = [
    "Autocomplete",
    "Completion",
    "DEFAULT_TOP_N",
    "IndexArrays",
    "IndexBuilder",
    "IndexMetadata",
    "MetadataError",
    "Normalization",
    "PrefixSearch",
    "StoredIndex",
    "Suggestion",
    "VideoId",
    "build_index",
    "get_normalization",
    "load",
    "read_metadata",
    "sample_index",
    "sample_records",
    "save",
]

__version__ = "0.1.0"

_pickle.register()
