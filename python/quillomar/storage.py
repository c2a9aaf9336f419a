"""Saving an index to a file, with its metadata, and loading it back.

A file holds the encoded index (``PrefixSearch.to_bytes()``) followed by a
metadata trailer (see :mod:`quillomar.metadata`), which the extension never
reads: ``PrefixSearch.from_bytes(open(path, "rb").read())`` loads every file.
Files written before the trailer existed load with no metadata, as indexes
whose terms were not normalised.
"""

from __future__ import annotations

import dataclasses
import mmap
import os
import zlib
from typing import BinaryIO, Callable, List, Optional, Sequence, Tuple, Union, cast

from _quillomar import PrefixSearch

from ._atomic import write_atomic_with
from ._engine import MappedIndex, TermIndex, decoded_length, search_section
from ._format import summarize
from .metadata import (
    FOOTER_LENGTH,
    IndexMetadata,
    MetadataError,
    Section,
    check_sections,
    encode_trailer,
    node_count_of,
    parse_body,
    parse_footer,
    recency_fields,
    section_layout,
    tail_counts,
    utc_now,
)
from .normalization import Normalization, get_normalization

__all__ = [
    "SEARCH_SECTION",
    "SearchIndex",
    "StoredIndex",
    "append_metadata",
    "check_index",
    "describe",
    "load",
    "read_metadata",
    "read_trailer",
    "save",
    "verify_checksums",
    "write_index",
]

PathLike = Union[str, "os.PathLike[str]"]

SectionWriter = Callable[[int, int], int]
"""Writes a section through the descriptor (first argument) at the offset
(second argument) and returns how many bytes it wrote."""
SectionSource = Tuple[str, Union[bytes, bytearray, memoryview, SectionWriter]]
"""A section to store after the index: its name and its bytes, or a
SectionWriter for one too large to hold in memory."""

_CHUNK = 16 << 20

SEARCH_SECTION = "search"
"""The name of the section that the searches run on in place (a mapped
index); see docs/format.md."""

SearchIndex = Union[PrefixSearch, MappedIndex]
"""Either kind of index: decoded into memory, or searched in place in a
mapping of its file. Both answer ``fuzzy_match`` and ``fuzzy_match_video``
identically."""

TERM_TRIE_SECTION = "term-trie"
"""The section holding the term trie (an encoded index of word-suffixes)."""
TERM_TABLE_SECTION = "term-table"
"""The section holding the texts and totals of the terms."""


class StoredIndex:
    """An index loaded from a file, with the file's metadata.

    It answers ``fuzzy_match`` and ``fuzzy_match_video`` exactly as its
    ``index`` does: these are the plain index methods, with no
    normalisation (use :class:`quillomar.Autocomplete` for that). They run
    on ``search``: a :class:`PrefixSearch`, or for a file with a search
    section a :class:`MappedIndex` over a read-only shared mapping of the
    file (kept on the file as it was when loaded: a file renamed over it
    later changes nothing here). It pickles (a mapped index as the decoded
    index), and is immutable.
    """

    __slots__ = ("_index", "_metadata", "_terms", "_encoded", "_decoded")
    _index: SearchIndex
    _metadata: Optional[IndexMetadata]
    _terms: Optional[TermIndex]
    _encoded: Optional[Callable[[], bytes]]
    _decoded: Optional[PrefixSearch]

    def __init__(
        self,
        index: SearchIndex,
        metadata: Optional[IndexMetadata] = None,
        terms: Optional[TermIndex] = None,
        encoded: Optional[Callable[[], bytes]] = None,
    ) -> None:
        if not isinstance(index, (PrefixSearch, MappedIndex)):
            raise TypeError(
                f"index must be a PrefixSearch or MappedIndex, not {type(index).__name__}"
            )
        if isinstance(index, MappedIndex) and encoded is None:
            raise TypeError("a MappedIndex needs the encoded index beside it")
        if metadata is not None and not isinstance(metadata, IndexMetadata):
            raise TypeError("metadata must be an IndexMetadata or None")
        if terms is not None and not isinstance(terms, TermIndex):
            raise TypeError(f"terms must be a TermIndex or None, not {type(terms).__name__}")
        object.__setattr__(self, "_index", index)
        object.__setattr__(self, "_metadata", metadata)
        object.__setattr__(self, "_terms", terms)
        object.__setattr__(self, "_encoded", encoded)
        object.__setattr__(self, "_decoded", index if isinstance(index, PrefixSearch) else None)

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError("StoredIndex is immutable")

    @property
    def index(self) -> PrefixSearch:
        """The index as a :class:`PrefixSearch`. For a mapped index it is
        decoded from the file on first use (which takes as long as loading
        without the mapping did); searches need only :attr:`search`."""
        if self._decoded is None:
            object.__setattr__(self, "_decoded", PrefixSearch.from_bytes(self.to_bytes()))
        assert self._decoded is not None
        return self._decoded

    @property
    def search(self) -> SearchIndex:
        """The index the searches run on: mapped when the file allows."""
        return self._index

    @property
    def mapped(self) -> bool:
        """True when the index is searched in place in its file."""
        return isinstance(self._index, MappedIndex)

    @property
    def metadata(self) -> Optional[IndexMetadata]:
        """The file's metadata; None for a file written without it."""
        return self._metadata

    @property
    def terms(self) -> Optional[TermIndex]:
        """The term trie and table that any-word matching and suggested
        searches read; None for a file written without them (it is then
        matched from the start of terms only)."""
        return self._terms

    @property
    def normalization(self) -> Normalization:
        """How the terms were normalised ("none" without metadata).

        Raises ValueError if the file names a normalisation this version
        does not know.
        """
        name = self._metadata.normalization if self._metadata else "none"
        return get_normalization(name)

    def to_bytes(self) -> bytes:
        """The encoded index, without the metadata or sections."""
        if isinstance(self._index, PrefixSearch):
            return self._index.to_bytes()
        assert self._encoded is not None
        return self._encoded()

    def fuzzy_match(
        self, term: str, max_dist: int = 1, limit: Optional[int] = None
    ) -> List[Tuple[str, int, int]]:
        return self._index.fuzzy_match(term, max_dist, limit)

    def fuzzy_match_video(
        self,
        term: str,
        max_dist: int = 1,
        limit: Optional[int] = None,
        include_prefix_nodes: Optional[bool] = None,
        min_score: Optional[float] = None,
    ) -> List[Tuple[str, float]]:
        return self._index.fuzzy_match_video(term, max_dist, limit, include_prefix_nodes, min_score)

    def __reduce__(
        self,
    ) -> Tuple[
        Callable[..., "StoredIndex"],
        Tuple[PrefixSearch, Optional[IndexMetadata], Optional[TermIndex]],
    ]:
        return StoredIndex, (self.index, self._metadata, self._terms)

    def __repr__(self) -> str:
        meta = self._metadata
        if meta is None:
            return "<StoredIndex without metadata>"
        return (
            f"<StoredIndex {meta.terms:,} terms, {meta.videos:,} videos, "
            f"normalization {meta.normalization!r}>"
        )


def describe(
    data: bytes,
    *,
    normalization: Union[str, Normalization, None] = "none",
    top_n: Optional[int] = None,
    videos: Optional[int] = None,
    built_at: Optional[str] = None,
    recency: Optional[Tuple[float, Optional[float]]] = None,
) -> IndexMetadata:
    """The metadata of the encoded index ``data``.

    The node and term counts and the identifier mode are read from the two
    ends of ``data``; the video count, when not given, takes a walk over the
    whole encoding (about 2 microseconds per node).
    """
    from . import __version__  # the package is initialised by now

    name = get_normalization(normalization).name
    quick = tail_counts(data)
    if quick is None or videos is None:
        summary = summarize(data)
        nodes, terms, id_mode = summary.nodes, summary.terms, summary.id_mode
        if videos is None:
            videos = summary.videos
    else:
        nodes, terms, id_mode = quick
    return IndexMetadata(
        normalization=name,
        top_n=top_n,
        terms=terms,
        nodes=nodes,
        videos=videos,
        id_mode=id_mode,
        built_at=built_at if built_at is not None else utc_now(),
        writer=f"quillomar {__version__}",
        **recency_fields(recency),
    )


def append_metadata(
    fd: int,
    index_length: int,
    *,
    normalization: Union[str, Normalization, None],
    top_n: Optional[int],
    videos: int,
    recency: Optional[Tuple[float, Optional[float]]] = None,
    sections: Sequence[SectionSource] = (),
) -> None:
    """Append ``sections`` and the metadata trailer to the file open as
    ``fd`` (for reading and writing), which holds an encoded index of
    ``index_length`` bytes.

    Only the two ends of the index are read through a mapping of the file,
    and its checksum a chunk at a time, so a large index is not read back
    into memory.
    """
    with mmap.mmap(fd, index_length, access=mmap.ACCESS_READ) as view:
        metadata = describe(
            cast(bytes, view),
            normalization=normalization,
            top_n=top_n,
            videos=videos,
            recency=recency,
        )
    metadata = dataclasses.replace(
        metadata,
        index_checksum=_checksum_of(fd, 0, index_length),
        sections=_write_sections(fd, index_length, sections),
    )
    end = metadata.sections[-1].offset + metadata.sections[-1].length if sections else index_length
    os.pwrite(fd, encode_trailer(metadata, index_length), end)


def _write_sections(
    fd: int, index_length: int, sources: Sequence[SectionSource]
) -> Tuple[Section, ...]:
    """Write each source at the next aligned offset (the gap stays zero
    bytes) and describe what was written."""
    placed = []
    end = index_length
    for name, source in sources:
        (offset,), _ = section_layout(end, [0])
        if offset > end:
            os.pwrite(fd, bytes(offset - end), end)
        if callable(source):
            length = source(fd, offset)
        else:
            length = _pwrite_all(fd, source, offset)
        placed.append(Section(name, offset, length, _checksum_of(fd, offset, length)))
        end = offset + length
    return tuple(placed)


def _pwrite_all(fd: int, data: Union[bytes, bytearray, memoryview], offset: int) -> int:
    """Write all of ``data`` at ``offset`` (one pwrite may write less)."""
    view = memoryview(data).cast("B")
    done = 0
    while done < len(view):
        done += os.pwrite(fd, view[done:], offset + done)
    return done


def _checksum_of(fd: int, offset: int, length: int) -> int:
    checksum = 0
    end = offset + length
    while offset < end:
        chunk = os.pread(fd, min(_CHUNK, end - offset), offset)
        if not chunk:
            raise OSError(f"the file ends {end - offset:,} bytes early")
        checksum = zlib.crc32(chunk, checksum)
        offset += len(chunk)
    return checksum


def write_index(
    path: PathLike,
    data: bytes,
    metadata: IndexMetadata,
    sections: Sequence[SectionSource] = (),
) -> None:
    """Write the encoded index ``data``, ``sections`` and the metadata
    trailer atomically. The checksums and the sections' places are filled
    in; the rest of ``metadata`` is written as given."""

    def fill(fd: int) -> None:
        _pwrite_all(fd, data, 0)
        found = dataclasses.replace(
            metadata,
            index_checksum=zlib.crc32(data),
            sections=_write_sections(fd, len(data), sections),
        )
        last = found.sections[-1] if found.sections else None
        end = last.offset + last.length if last else len(data)
        os.pwrite(fd, encode_trailer(found, len(data)), end)

    write_atomic_with(path, fill)


def save(
    index: Union[PrefixSearch, StoredIndex],
    path: PathLike,
    *,
    normalization: Union[str, Normalization, None] = None,
    top_n: Optional[int] = None,
    sections: Sequence[SectionSource] = (),
    mapped: bool = True,
) -> None:
    """Write ``index`` and its metadata to ``path`` atomically.

    With ``mapped`` (the default) the file also holds the search section
    that :func:`load` maps instead of decoding the index, when the index
    can have one (any index that an IndexBuilder or ``quillomar build``
    made can); ``sections`` are written before it.

    ``normalization`` is what the terms were normalised with when the index
    was built (``IndexBuilder(normalization=...)``); ``top_n`` the
    ``top_n`` it was built with, if known. For an index that :func:`load`
    returned, both default to what its file said; otherwise to "none" and
    unknown. Counting the videos of a plain :class:`PrefixSearch` walks its
    encoding (about 2 microseconds per trie node); ``quillomar build``
    knows the count already.

    The bytes go to a temporary file in the same directory, are flushed to
    disk and then renamed over ``path``: a reader sees the old file or the
    new one, and a failure leaves the old file as it was.
    """
    previous: Optional[IndexMetadata] = None
    if isinstance(index, StoredIndex):
        previous = index.metadata
        if not sections and index.terms is not None:
            sections = term_sections_of(index.terms)
    data = index.to_bytes()
    sections = list(sections)
    if mapped and all(name != SEARCH_SECTION for name, _ in sections):
        found = search_section(data)
        if found is not None:
            sections.append((SEARCH_SECTION, found.write))
    if previous is not None:
        if normalization is None:
            normalization = previous.normalization
        if top_n is None:
            top_n = previous.top_n
    metadata = describe(
        data,
        normalization=normalization,
        top_n=top_n,
        videos=previous.videos if previous is not None else None,
        built_at=previous.built_at if previous is not None else None,
    )
    write_index(path, data, metadata, sections)


def _read_trailer(f: BinaryIO, size: int) -> Optional[Tuple[int, IndexMetadata]]:
    """(index length, metadata) of an open file, or None without a trailer."""
    tail_length = min(size, FOOTER_LENGTH)
    f.seek(size - tail_length)
    found = parse_footer(f.read(tail_length), size)
    if found is None:
        return None
    index_length, body_length, checksum = found
    body_offset = size - FOOTER_LENGTH - body_length
    f.seek(body_offset)
    metadata = parse_body(f.read(body_length), checksum)
    check_sections(metadata, index_length, body_offset)
    return index_length, metadata


def read_trailer(path: PathLike) -> Optional[Tuple[int, IndexMetadata]]:
    """(index length, metadata) of an index file, reading only its trailer
    and the index's first bytes; None for a file without a trailer.

    Raises MetadataError as :func:`read_metadata` does.
    """
    with open(os.fspath(path), "rb") as f:
        size = f.seek(0, os.SEEK_END)
        found = _read_trailer(f, size)
        if found is None:
            return None
        f.seek(0)
        head = f.read(min(9, found[0]))
    if node_count_of(head) != found[1].nodes:
        raise MetadataError(_NOT_ITS_INDEX)
    return found


def verify_checksums(path: PathLike, index_length: int, metadata: IndexMetadata) -> None:
    """Check the index bytes and every section of the file at ``path``
    against the checksums its trailer records (one pass a chunk at a time,
    several GB/s); raise MetadataError at the first mismatch.

    ``index_length`` and ``metadata`` are what :func:`read_trailer` found.
    """
    with open(os.fspath(path), "rb") as f:
        fd = f.fileno()
        if metadata.index_checksum is not None:
            if _checksum_of(fd, 0, index_length) != metadata.index_checksum:
                raise MetadataError(_DAMAGED_INDEX)
        for section in metadata.sections:
            if _checksum_of(fd, section.offset, section.length) != section.checksum:
                raise MetadataError(f"section {section.name!r} is damaged (checksum mismatch)")


_DAMAGED_INDEX = "the index is damaged (checksum mismatch)"


def read_metadata(path: PathLike) -> Optional[IndexMetadata]:
    """The metadata of an index file, reading only its trailer.

    Returns None for a file without a trailer; raises MetadataError (a
    ValueError) for a trailer that is truncated, damaged, of an unknown
    version or not about the index before it, and OSError if the file
    cannot be read. Takes the same time for any size of index.
    """
    found = read_trailer(path)
    return None if found is None else found[1]


_NOT_ITS_INDEX = "the metadata trailer does not belong to the index before it"


def load(path: PathLike, *, mapped: bool = True, verify: bool = False) -> StoredIndex:
    """Read an index file that :func:`save` or ``quillomar build`` wrote,
    or one holding only ``to_bytes()`` output (then without metadata).

    A file with a search section is mapped (``mapped=False`` decodes it
    instead): opening takes the same short time for any size of index,
    nothing is copied, and every process that maps the file shares one
    copy of it in the page cache. The mapping stays on the file as it was
    opened, so replace an index file by renaming a new one over it (as
    :func:`save` and ``quillomar build`` do); a file truncated in place
    or changed in place while mapped makes the searches raise OSError
    instead of answering. The search section is not checksummed unless
    ``verify`` is true (that reads it all, one pass at several GB/s); a
    damaged one cannot make a search read outside it, but can make it
    answer wrongly. One whose header is damaged is not used (the index is
    then decoded). ``quillomar serve`` verifies a file at start and before
    it swaps a reloaded one in, and ``quillomar info`` verifies too.

    Raises OSError if the file cannot be read, ValueError ("decode error:
    ...") if it holds no index, and MetadataError (a ValueError) if its
    metadata trailer is truncated, damaged or of an unknown version, or if
    bytes that are no trailer follow the index.
    """
    terms: Optional[TermIndex] = None
    with open(os.fspath(path), "rb") as f:
        size = f.seek(0, os.SEEK_END)
        found = _read_trailer(f, size)
        if mapped and found is not None:
            stored = _map(f, *found, verify)
            if stored is not None:
                return stored
        f.seek(0)
        if found is None:
            data = f.read()
            metadata = None
        else:
            index_length, metadata = found
            data = f.read(index_length)
            terms = _read_terms(f, metadata)
    if metadata is not None:
        check_index(data, metadata)
    index = PrefixSearch.from_bytes(data)
    if metadata is None:
        _check_bare(data)
    return StoredIndex(index, metadata, terms)


def term_sections_of(terms: TermIndex) -> List[SectionSource]:
    """The two sections that hold ``terms`` in a file."""
    trie, table = terms.__reduce__()[1]
    return [(TERM_TRIE_SECTION, trie), (TERM_TABLE_SECTION, table)]


def _read_section(f: BinaryIO, section: Section) -> bytes:
    f.seek(section.offset)
    data = f.read(section.length)
    if len(data) != section.length or zlib.crc32(data) != section.checksum:
        raise MetadataError(f"section {section.name!r} is damaged (checksum mismatch)")
    return data


def _read_terms(f: BinaryIO, metadata: IndexMetadata) -> Optional[TermIndex]:
    """The file's term index, or None when it was written without one."""
    trie = metadata.section(TERM_TRIE_SECTION)
    table = metadata.section(TERM_TABLE_SECTION)
    if trie is None or table is None:
        return None
    try:
        return TermIndex(_read_section(f, trie), _read_section(f, table))
    except MetadataError:
        raise
    except ValueError as err:
        raise MetadataError(f"the term sections are damaged ({err})") from None


def _map(
    f: BinaryIO, index_length: int, metadata: IndexMetadata, verify: bool
) -> Optional[StoredIndex]:
    """The mapped index of an open file with a trailer, or None when it has
    no search section or one that cannot be opened. ``verify``: check the
    checksums of the index and the section first."""
    section = metadata.section(SEARCH_SECTION)
    if section is None:
        return None
    view = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
    if node_count_of(view[: min(9, index_length)]) != metadata.nodes:
        view.close()
        raise MetadataError(_NOT_ITS_INDEX)
    if verify:
        problem = _verify_mapped(view, index_length, metadata, section)
        if problem is not None:
            view.close()
            raise MetadataError(problem)
    try:
        index = MappedIndex(view, section.offset, section.length, f.fileno())
    except ValueError:
        view.close()
        return None
    if index.node_count != metadata.nodes:
        del index
        view.close()
        return None

    def encoded() -> bytes:
        return view[:index_length]

    return StoredIndex(index, metadata, _read_terms(f, metadata), encoded)


def _verify_mapped(
    view: mmap.mmap, index_length: int, metadata: IndexMetadata, section: Section
) -> Optional[str]:
    """What is damaged in a mapped file by its checksums, or None."""
    with memoryview(view) as whole:
        if metadata.index_checksum is not None:
            with whole[:index_length] as index:
                if zlib.crc32(index) != metadata.index_checksum:
                    return _DAMAGED_INDEX
        with whole[section.offset : section.offset + section.length] as found:
            if zlib.crc32(found) != section.checksum:
                return f"section {section.name!r} is damaged (checksum mismatch)"
    return None


def check_index(data: bytes, metadata: IndexMetadata) -> None:
    """Raise MetadataError unless ``data`` is the index that ``metadata``
    describes: its node count, its last byte and, where the trailer
    records one, its checksum (one pass, several GB/s)."""
    if node_count_of(data) != metadata.nodes or data[-1:] not in (b"\x00", b"\x01"):
        raise MetadataError(_NOT_ITS_INDEX)
    if metadata.index_checksum is not None and zlib.crc32(data) != metadata.index_checksum:
        raise MetadataError(_DAMAGED_INDEX)


def _check_bare(data: bytes) -> None:
    """Raise MetadataError if bytes that are no trailer follow the index.

    An index that ends as ``to_bytes`` writes it is recognised from its
    last bytes; for anything else the native decoder finds where the index
    ends (one pass, like the load itself).
    """
    if tail_counts(data) is not None:
        return
    try:
        trailing = len(data) - decoded_length(data)
    except ValueError:
        return  # the extension decoded it; it has the last word
    if trailing:
        raise MetadataError(
            f"{trailing:,} bytes after the index are not a metadata trailer (truncated or foreign)"
        )
