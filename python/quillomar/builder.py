"""Build a :class:`PrefixSearch` from plain (term, video, count) records.

:class:`IndexBuilder` collects records the way search logs hold them; a
native engine aggregates them and lays out the index::

    builder = IndexBuilder()
    builder.add("cat videos", 1042, 7)
    builder.add("cat toys", 1042, 2)
    index = builder.build(top_n=20)

What the numbers mean:

* ``count`` is how often a term led to a video. Records for the same
  (term, video) pair add up.
* A term's *total* is, unless set with :meth:`IndexBuilder.set_total`, the
  sum of its video counts. Ranking divides weighted video counts by weighted
  totals, so a total above the sum of the video counts (searches that led to
  no listed video) lowers every score for that term.
* Counts and totals are stored as unsigned 32-bit numbers: a single record
  must be in 0..4294967295, and sums that grow past 4294967295 are stored as
  4294967295 (they saturate, they do not wrap).
* ``top_n`` is how many videos every trie node keeps: a node holds the
  ``top_n`` videos with the largest counts in its whole subtree, which is
  what a half-typed query is ranked from.

Video identifiers are either all ints in 0..4294967295 or all UUIDs (a
:class:`uuid.UUID` or any text :class:`uuid.UUID` accepts); the first record
decides. Logs in files, Arrow tables and raw column buffers go through
:mod:`quillomar.log_files`, :meth:`IndexBuilder.add_arrow` and
:meth:`IndexBuilder.add_columns` without a Python object per row.
"""

from __future__ import annotations

import contextlib
import gc
import uuid
from array import array
from typing import (
    Callable,
    Iterable,
    Iterator,
    List,
    Mapping,
    NamedTuple,
    Optional,
    Tuple,
    Union,
)

from _quillomar import PrefixSearch

from . import _validation as rules
from ._engine import (
    Aggregator,
    BadRecordError,
    DelimitedReader,
    SearchSection,
    TermIndex,
    engine_kind,
    id_mode_of,
)
from ._staging import joined_terms, stage_records, stage_totals
from .normalization import Normalization, get_normalization
from .recency import Decay, DurationLike, TimeLike, parse_duration, parse_time

__all__ = [
    "DEFAULT_TERM_TOP_N",
    "DEFAULT_TOP_N",
    "IndexArrays",
    "IndexBuilder",
    "Payload",
    "VideoId",
    "build_index",
]

U32_MAX = rules.U32_MAX
DEFAULT_TOP_N = 20
"""Videos kept per trie node when ``top_n`` is not given."""

DEFAULT_TERM_TOP_N = 10
"""Terms kept per node of the term trie (what any-word matching and
suggested searches read): more finds rarer terms behind a short word, at
the cost of a larger file."""

VideoId = Union[int, str, uuid.UUID]
"""An int in 0..4294967295, a :class:`uuid.UUID`, or the text of a UUID."""

Payload = Tuple[int, List[int], List[int]]
"""(total count, video numbers, video counts) of one term's node."""

NormalizationLike = Union[None, str, Normalization, Callable[[str], str]]

Buffer = object
"""Anything with the buffer protocol: bytes, array.array, memoryview."""


class IndexArrays(NamedTuple):
    """The six arguments of ``PrefixSearch.from_internal_data_v2``, in order."""

    node_shifts: List[int]
    child_labels: List[str]
    payloads: List[Optional[Payload]]
    child_transitions: List[int]
    video_index: List[bytes]
    video_top_n: int

    def build(self) -> PrefixSearch:
        """Hand the arrays to the extension."""
        return PrefixSearch.from_internal_data_v2(*self)


# New container objects left by a pause above which they are promoted rather
# than examined (see _collector_paused); below it a young collection is cheap.
_PROMOTE_AT = 100_000


@contextlib.contextmanager
def _collector_paused() -> Iterator[None]:
    """Pause the cyclic garbage collector while many objects are made.

    Staging a large batch and laying out :meth:`IndexBuilder.arrays` create
    millions of small lists and tuples, none of them part of a cycle; the
    collector would otherwise traverse the growing heap again and again.
    When the pause leaves many new containers behind, they go straight to
    the oldest generation (gc.freeze, then gc.unfreeze) instead of waiting
    for the young collection that the next allocation would start. Skipped
    while anything is frozen, so that objects the program froze itself
    stay frozen.
    """
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if was_enabled:
            if gc.get_count()[0] >= _PROMOTE_AT and gc.get_freeze_count() == 0:
                gc.freeze()
                gc.unfreeze()
            gc.enable()


def _resolve_normalization(normalization: NormalizationLike) -> Normalization:
    """The normalisation to record and apply: a name or a Normalization, or
    any other function from str to str (applied, but recorded under its
    function's name, which :func:`get_normalization` will not know)."""
    if normalization is None or isinstance(normalization, (str, Normalization)):
        return get_normalization(normalization)
    if not callable(normalization):
        raise TypeError(
            "normalization must be a name or a callable taking and "
            f"returning str, not {type(normalization).__name__}"
        )
    return Normalization(getattr(normalization, "__name__", "custom"), normalization)


class IndexBuilder:
    """Collects search records and lays them out as a trie index.

    Every method validates its whole input before changing anything, so a
    record that raises leaves the builder exactly as it was, and
    :meth:`add_records` adds either all of its records or none.

    ``normalization`` (a name such as ``"default"``, or a function from str
    to str) is applied to every term as it enters, memoised per distinct
    term; the default ``None`` (or ``"none"``) keeps terms as given.

    ``half_life`` (``"7d"``, ``"12h"``, ``"3600s"``, seconds or a timedelta)
    makes the rows that :meth:`add_arrow` reads with a ``time_column`` decay
    by half every half-life of their age before ``as_of`` (ISO 8601 text,
    Unix seconds or a datetime; default: the newest of their timestamps).
    Their weights are summed and turned into counts when the index is laid
    out, by the rule :mod:`quillomar.recency` documents; decayed rows must
    all be added before that.
    """

    def __init__(
        self,
        *,
        normalization: NormalizationLike = "none",
        half_life: Optional[DurationLike] = None,
        as_of: Optional[TimeLike] = None,
    ) -> None:
        self._normalization = _resolve_normalization(normalization)
        self._native = Aggregator(self._rewriter())
        self._decay: Optional[Decay] = None
        if half_life is not None:
            self._decay = Decay(
                parse_duration(half_life), None if as_of is None else parse_time(as_of)
            )
        elif as_of is not None:
            raise ValueError("as_of applies only with a half_life")
        self._decayed_kind: Optional[str] = None

    def _rewriter(self) -> Optional[Normalization]:
        return None if self._normalization.is_identity else self._normalization

    # -- adding -------------------------------------------------------------

    def add(self, term: str, video: VideoId, count: int = 1) -> None:
        """Record that ``term`` led to ``video`` ``count`` times.

        Raises TypeError for a term that is not a str or a count that is not
        an integer, and ValueError naming the record for an empty term, a
        term containing U+0000 or a lone surrogate, a count outside
        0..4294967295, a malformed video id, or an id of the other kind than
        the ids added before.
        """
        self._add_staged([(term, video, count)])

    def add_records(self, records: Iterable[Tuple[str, VideoId, int]]) -> None:
        """Add many (term, video, count) records; all of them or none."""
        with _collector_paused():
            self._add_staged(records)

    def add_events(self, events: Iterable[Tuple[str, VideoId]]) -> None:
        """Add many (term, video) events, one row per search as sites log
        them: each counts 1. All of them or none, checked as :meth:`add`."""
        with _collector_paused():
            self._add_staged(events, counted=False)

    def _add_staged(self, records: Iterable[object], *, counted: bool = True) -> None:
        staged = stage_records(records, self.id_mode, counted=counted)
        if not staged.rows:
            return
        try:
            self._native.add(
                staged.terms, None, staged.videos, staged.counts, engine_kind(staged.mode)
            )
        except BadRecordError as err:
            message, row = err.args
            raise ValueError(f"record {staged.record(row)!r}: {message}") from None

    def add_columns(
        self,
        terms: Buffer,
        videos: object,
        counts: Buffer,
        *,
        term_offsets: Optional[Buffer] = None,
        video_format: str = "int",
        first_row: int = 0,
    ) -> int:
        """Add one batch of records given as column buffers, without a
        Python object per row; returns the rows added.

        ``terms`` is UTF-8 text: with ``term_offsets`` (one more integer
        than there are rows, as Arrow's string offsets) row i is
        ``terms[term_offsets[i]:term_offsets[i + 1]]``; without, each term
        ends with a U+0000 byte. ``counts`` holds one integer per row, of
        any width and signedness. ``videos`` is, by ``video_format``:
        ``"int"`` a buffer of integers, ``"uuid"`` 16 bytes per row, or
        ``"uuid_text"`` a (text, offsets) pair laid out as ``terms`` with
        offsets.

        The batch adds all its rows or none. A bad row raises ValueError
        naming it as ``row N``, N its position plus ``first_row``; buffers
        of the wrong shape raise ValueError or TypeError.
        """
        try:
            self._native.add(terms, term_offsets, videos, counts, video_format)
        except BadRecordError as err:
            message, row = err.args
            raise ValueError(f"row {first_row + row}: {message}") from None
        return len(memoryview(counts))  # type: ignore[arg-type]

    def _feed(self, reader: DelimitedReader, chunk: Buffer, final: bool) -> int:
        """Count the records ``reader`` parses from ``chunk`` (the next bytes
        of a delimited log; ``final`` for the last). Returns the rows
        counted; raises BadRecordError(message, line) for a bad row."""
        return reader.feed(self._native, chunk, final)

    def add_arrow(
        self,
        data: object,
        *,
        term_column: str = "term",
        video_column: str = "video",
        count_column: Optional[str] = "count",
        time_column: Optional[str] = None,
    ) -> int:
        """Add the rows of an Arrow table, record batch reader or any object
        with ``__arrow_c_stream__`` / ``__arrow_c_array__`` (polars and
        DuckDB results, pandas through pyarrow); returns the rows added.

        Read batch by batch without a Python object per row. Requires
        pyarrow (``pip install quillomar[parquet]``). A bad row raises
        ValueError naming its position (from 0) and leaves the batches
        before it added. With ``count_column=None`` every row counts 1 (a
        log of events); with a ``time_column`` (timestamps, Unix seconds or
        ISO 8601 text) the rows decay by the builder's ``half_life``.
        """
        from .arrow_input import add_arrow

        return add_arrow(
            self, data, term_column, video_column, count_column, time_column=time_column
        )

    # -- decayed rows -------------------------------------------------------

    def _decay_for(self, time_column: Optional[str]) -> Optional[Decay]:
        """The staging of decayed rows, for rows read with ``time_column``."""
        if time_column is None:
            return None
        if self._decay is None:
            raise ValueError("a time column needs a half-life: IndexBuilder(half_life=...)")
        if self._decay.settled_as_of is not None:
            raise ValueError(
                "decayed rows must all be added before the index is laid out or counted"
            )
        return self._decay

    def _checker(self) -> Aggregator:
        """A scratch engine that checks decayed rows as the real one would."""
        return Aggregator(self._rewriter())

    def _note_decayed_kind(self, kind: str, where: str) -> None:
        """Refuses ids of the other kind than those seen, decayed or not."""
        mode = rules.INT32 if kind == "int" else rules.UUID
        earlier = self._native.id_kind or self._decayed_kind
        if earlier is not None and earlier != mode:
            raise ValueError(
                f"{where}video ids are {rules.describe(mode, plural=True)} but earlier "
                f"records used {rules.describe(earlier, plural=True)}; ids must be all "
                "ints or all UUIDs"
            )
        self._decayed_kind = mode

    def _settle(self) -> None:
        """Counts the decayed rows (once, before anything reads the counts)."""
        decay = self._decay
        if decay is None or decay.settled_as_of is not None:
            return
        from .arrow_input import _pyarrow, add_batches

        if not decay.parts:
            decay.settled_as_of = decay.as_of
            return
        pa = _pyarrow()
        table = decay.settle(pa, self._rewriter())
        if table is not None:
            add_batches(self, table.to_batches(), "term", "video", "count")

    @property
    def recency(self) -> Optional[Tuple[float, Optional[float]]]:
        """(half-life in seconds, as-of time in Unix seconds) when rows
        decay, else None; the as-of time is None until it is known (given,
        or the newest decayed row once the index is laid out)."""
        if self._decay is None:
            return None
        return self._decay.half_life, self._decay.settled_as_of or self._decay.as_of

    def set_total(self, term: str, total: int) -> None:
        """Set the total count of ``term``, replacing the default sum.

        The term becomes part of the index even if it has no videos. A later
        call for the same term replaces the earlier total.
        """
        record = (term, total)
        if not (rules.is_plain_term(term) and type(total) is int and 0 <= total <= U32_MAX):
            rules.check_term(term, record)
            total = rules.check_count(total, record, "total")
        self._set_staged({term: total})

    def set_totals(self, totals: Union[Mapping[str, int], Iterable[Tuple[str, int]]]) -> None:
        """Set the totals of many terms at once; all of them or none.

        ``totals`` is a mapping from term to total, or an iterable of
        (term, total) tuples, of which a later one for the same term wins.
        Each entry has the effect of :meth:`set_total`, and is checked in
        the same way; the first bad entry raises, naming it, and leaves the
        builder unchanged. This is the quick way to index a plain word
        list: ``builder.set_totals(dict.fromkeys(words, 1))``.
        """
        with _collector_paused():
            self._set_staged(stage_totals(totals))

    def _set_staged(self, staged: Mapping[str, int]) -> None:
        if not staged:
            return
        terms = list(staged)
        try:
            self._native.set_totals(joined_terms(terms), None, array("I", staged.values()))
        except BadRecordError as err:
            message, row = err.args
            pair = (terms[row], staged[terms[row]])
            raise ValueError(f"record {pair!r}: {message}") from None

    # -- inspecting ---------------------------------------------------------

    def __len__(self) -> int:
        """Number of distinct terms."""
        self._settle()
        return len(self._native)

    @property
    def video_count(self) -> int:
        """Number of distinct videos."""
        self._settle()
        return self._native.video_count

    @property
    def normalization(self) -> Normalization:
        """The normalisation applied to incoming terms."""
        return self._normalization

    @property
    def id_mode(self) -> Optional[str]:
        """'int32' or 'uuid' once an id has been added, else None."""
        return id_mode_of(self._native.id_kind) or self._decayed_kind

    # -- building -----------------------------------------------------------

    def arrays(self, top_n: int = DEFAULT_TOP_N) -> IndexArrays:
        """Lay out the six construction arrays without building the index.

        Nodes are numbered breadth-first (parents before children, a node's
        children consecutive and in code point order). Each term's node
        carries (total, video numbers, counts) with its videos ordered by
        count, largest first, equal counts in the order in which the videos
        were first added; every other node has no payload.
        """
        top_n = rules.check_top_n(top_n)
        self._settle()
        with _collector_paused():
            return _arrays_from_layout(self._native.layout(), top_n)

    def build(self, top_n: int = DEFAULT_TOP_N) -> PrefixSearch:
        """Build the index; each node keeps its subtree's ``top_n`` videos.

        The builder is left unchanged and can take more records and build
        again.
        """
        return PrefixSearch.from_bytes(self.to_bytes(top_n))

    def to_bytes(self, top_n: int = DEFAULT_TOP_N, *, release: bool = False) -> bytes:
        """The stored form of the index, as ``build(top_n).to_bytes()``.

        With ``release=True`` the records' memory is given back before the
        index is encoded, and the builder cannot be used afterwards.
        """
        top_n = rules.check_top_n(top_n)
        self._settle()
        return self._native.encode(top_n, release=release)

    def term_sections(self, top_n: int = DEFAULT_TERM_TOP_N) -> List[Tuple[str, bytes]]:
        """What any-word matching and suggested searches need, as the two
        sections that ``quillomar build`` stores after the index: the term
        trie (an encoded index over every word-suffix of every term whose
        "videos" are term numbers, ``top_n`` of them per node) and the table
        of term texts and totals. Call it before a ``release``."""
        top_n = rules.check_top_n(top_n)
        from .storage import TERM_TABLE_SECTION, TERM_TRIE_SECTION

        trie, table = self._native.encode_terms(top_n)
        return [(TERM_TRIE_SECTION, trie), (TERM_TABLE_SECTION, table)]

    def build_terms(self, top_n: int = DEFAULT_TERM_TOP_N) -> TermIndex:
        """The :class:`TermIndex` of :meth:`term_sections`, without a file."""
        (_, trie), (_, table) = self.term_sections(top_n)
        return TermIndex(trie, table)

    def write_to(self, fd: int, top_n: int = DEFAULT_TOP_N, *, release: bool = False) -> int:
        """Write the stored form of the index into the empty file open (for
        reading and writing) as descriptor ``fd``; returns its size.

        The index is encoded straight into the file, not held in memory as
        bytes first. ``release`` as for :meth:`to_bytes`.
        """
        top_n = rules.check_top_n(top_n)
        self._settle()
        return self._native.encode_to_file(fd, top_n, release=release)

    def write_with_section(
        self, fd: int, top_n: int = DEFAULT_TOP_N, *, release: bool = False
    ) -> Tuple[int, Optional[SearchSection]]:
        """As :meth:`write_to`, and the search section of the same index
        (None when it cannot have one), derived from the index in memory
        rather than read back from the file."""
        top_n = rules.check_top_n(top_n)
        self._settle()
        return self._native.encode_with_section(fd, top_n, release=release)


_Layout = Tuple[bytes, bytes, bytes, bytes, bytes, bytes, bytes, Optional[str], bytes]


def _u32_list(raw: bytes) -> List[int]:
    return array("I", raw).tolist()


def _arrays_from_layout(layout: _Layout, top_n: int) -> IndexArrays:
    shifts, labels, present, totals, offsets, ids, counts, mode, table = layout
    node_shifts = _u32_list(shifts)
    child_labels = list(labels.decode("utf-32-le"))
    child_labels[0] = ""
    totals_list = _u32_list(totals)
    offsets_list = _u32_list(offsets)
    ids_list = _u32_list(ids)
    counts_list = _u32_list(counts)
    payloads: List[Optional[Payload]] = [None] * len(node_shifts)
    for v, flag in enumerate(present):
        if flag:
            begin, end = offsets_list[v], offsets_list[v + 1]
            payloads[v] = (totals_list[v], ids_list[begin:end], counts_list[begin:end])
    width = 4 if id_mode_of(mode) == rules.INT32 else 16
    video_index = [table[i : i + width] for i in range(0, len(table), width)]
    return IndexArrays(
        node_shifts=node_shifts,
        child_labels=child_labels,
        payloads=payloads,
        child_transitions=list(range(1, len(node_shifts))),
        video_index=video_index,
        video_top_n=top_n,
    )


def build_index(
    records: Iterable[Tuple[str, VideoId, int]],
    top_n: int = DEFAULT_TOP_N,
    *,
    normalization: NormalizationLike = "none",
) -> PrefixSearch:
    """Build an index from (term, video, count) records in one call."""
    builder = IndexBuilder(normalization=normalization)
    builder.add_records(records)
    return builder.build(top_n)
