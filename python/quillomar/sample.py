"""The sample search log shipped inside the package.

About three thousand search terms over some fifteen hundred videos, with
Zipf-distributed counts, made by ``scripts/make_sample.py``. It is stored as
compressed records and built into an index on demand (a fraction of a
second), so it exercises the same path as any user's data.
"""

from __future__ import annotations

import gzip
import io
from importlib import resources
from typing import Dict, Iterator, Tuple

from _quillomar import PrefixSearch

from .builder import DEFAULT_TOP_N, IndexBuilder, VideoId
from .log_files import parse_video
from .storage import StoredIndex

__all__ = ["sample_index", "sample_records", "sample_stored", "sample_titles"]


def _open_text(name: str) -> io.TextIOWrapper:
    data = (resources.files("quillomar") / "data" / name).read_bytes()
    return io.TextIOWrapper(io.BytesIO(gzip.decompress(data)), encoding="utf-8")


def sample_records() -> Iterator[Tuple[str, VideoId, int]]:
    """The sample (term, video, count) records; video ids are ints."""
    with _open_text("sample_records.tsv.gz") as lines:
        next(lines)  # header
        for line in lines:
            term, video, count = line.rstrip("\n").split("\t")
            yield term, parse_video(video), int(count)


def sample_titles() -> Dict[str, str]:
    """Video id text -> title, to show what a ranked sample video is."""
    with _open_text("sample_videos.tsv.gz") as lines:
        next(lines)
        titles: Dict[str, str] = {}
        for line in lines:
            video, title = line.rstrip("\n").split("\t", 1)
            titles[video] = title
        return titles


def sample_index(top_n: int = DEFAULT_TOP_N) -> PrefixSearch:
    """Build the sample index."""
    builder = IndexBuilder()
    builder.add_records(sample_records())
    return builder.build(top_n)


def sample_stored(top_n: int = DEFAULT_TOP_N) -> StoredIndex:
    """The sample index with its term index, as ``quillomar build`` would
    store it: matched by any word, in any order."""
    builder = IndexBuilder()
    builder.add_records(sample_records())
    terms = builder.build_terms()
    return StoredIndex(builder.build(top_n), None, terms)
