"""The slow, obvious way to build an index: dicts of dicts, the pure-Python
trie layout and from_internal_data_v2. The native engine is held to it
byte for byte.
"""

from __future__ import annotations

import collections
import contextlib
import gc
import operator
import uuid
from typing import (
    Dict,
    Iterable,
    Iterator,
    List,
    Mapping,
    NamedTuple,
    Optional,
    Sequence,
    SupportsIndex,
    Tuple,
    Union,
    cast,
)

import reference_layout as _layout
from _quillomar import PrefixSearch

__all__ = [
    "DEFAULT_TOP_N",
    "IndexArrays",
    "IndexBuilder",
    "Payload",
    "VideoId",
    "build_index",
]

U32_MAX = 4294967295
DEFAULT_TOP_N = 20
"""Videos kept per trie node when ``top_n`` is not given."""

VideoId = Union[int, str, uuid.UUID]
"""An int in 0..4294967295, a :class:`uuid.UUID`, or the text of a UUID."""

Payload = Tuple[int, List[int], List[int]]
"""(total count, video numbers, video counts) of one term's node."""

_INT = "int"
_UUID = "uuid"


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
    """Pause the cyclic garbage collector for a bulk build.

    Building creates millions of small lists, tuples and dicts, none of them
    part of a reference cycle; the collector would otherwise traverse the
    growing heap again and again while they are made (several times the
    cost of the build itself).

    When the pause leaves many new containers behind, they go straight to
    the oldest generation (gc.freeze, then gc.unfreeze) instead of waiting
    for the young collection that the next allocation would start. They are
    the arrays being returned, long-lived by construction, and a young
    collection over them costs more than laying them out (they lie scattered
    in memory). The price: cyclic garbage that other code made just before
    or during the call is reclaimed by the next full collection rather than
    the next young one. Skipped while anything is frozen, so that objects
    the program froze itself stay frozen.
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


class _Parsed(NamedTuple):
    term: str
    mode: str
    key: Union[int, bytes]
    amount: int


class IndexBuilder:
    """Collects search records and lays them out as a trie index.

    Every method validates its whole input before changing anything, so a
    record that raises leaves the builder exactly as it was, and
    :meth:`add_records` adds either all of its records or none.
    """

    def __init__(self) -> None:
        self._mode: Optional[str] = None
        # Video key (int id, or the 16 bytes of a UUID) -> video number, in
        # order of first appearance; the number is the position in the
        # identifier table.
        self._videos: Dict[Union[int, bytes], int] = {}
        # term -> video number -> exact (unsaturated) sum of counts, for the
        # terms that have videos.
        self._counts: Dict[str, Dict[int, int]] = {}
        # term -> total, for the terms given one. A term is in the index when
        # it is a key of either dict.
        self._totals: Dict[str, int] = {}
        # How many terms are only in _totals: keeps len() O(1) and spares a
        # word list indexed without videos any per-term work in _counts.
        self._bare = 0

    # -- adding -------------------------------------------------------------

    def add(self, term: str, video: VideoId, count: int = 1) -> None:
        """Record that ``term`` led to ``video`` ``count`` times.

        Raises TypeError for a term that is not a str or a count that is not
        an integer, and ValueError naming the record for an empty term, a
        term containing U+0000 or a lone surrogate, a count outside
        0..4294967295, a malformed video id, or an id of the other kind than
        the ids added before.
        """
        self._commit([self._parse(term, video, count, self._mode)])

    def add_records(self, records: Iterable[Tuple[str, VideoId, int]]) -> None:
        """Add many (term, video, count) records; all of them or none."""
        staged: List[_Parsed] = []
        mode = self._mode
        with _collector_paused():
            for record in records:
                # Fast path for the common shape (ASCII term, int id and
                # count); anything else, errors included, takes _parse.
                if type(record) is tuple and len(record) == 3:
                    term, video, count = record
                    if (
                        type(term) is str
                        and type(video) is int
                        and type(count) is int
                        and mode != _UUID
                        and term
                        and term.isascii()
                        and "\x00" not in term
                        and 0 <= count <= U32_MAX
                        and 0 <= video <= U32_MAX
                    ):
                        mode = _INT
                        staged.append(_Parsed(term, _INT, video, count))
                        continue
                elif not isinstance(record, tuple) or len(record) != 3:
                    raise ValueError(f"record {record!r}: expected a (term, video, count) tuple")
                item = self._parse(record[0], record[1], record[2], mode)
                mode = item.mode
                staged.append(item)
            self._commit(staged)

    def set_total(self, term: str, total: int) -> None:
        """Set the total count of ``term``, replacing the default sum.

        The term becomes part of the index even if it has no videos. A later
        call for the same term replaces the earlier total.
        """
        if not (
            type(term) is str
            and type(total) is int
            and term.isascii()
            and term
            and "\x00" not in term
            and 0 <= total <= U32_MAX
        ):
            record = (term, total)
            _check_term(term, record)
            total = _check_count(total, record, "total")
        if term not in self._totals and term not in self._counts:
            self._bare += 1
        self._totals[term] = total

    def set_totals(self, totals: Union[Mapping[str, int], Iterable[Tuple[str, int]]]) -> None:
        """Set the totals of many terms at once; all of them or none.

        ``totals`` is a mapping from term to total, or an iterable of
        (term, total) tuples, of which a later one for the same term wins.
        Each entry has the effect of :meth:`set_total`, and is checked in
        the same way; the first bad entry raises, naming it, and leaves the
        builder unchanged. This is the quick way to index a plain word
        list: ``builder.set_totals(dict.fromkeys(words, 1))``.
        """
        staged = _stage_totals(totals)
        known_totals, counts = self._totals, self._counts
        if known_totals or counts:
            self._bare += sum(1 for t in staged if t not in known_totals and t not in counts)
        else:
            self._bare = len(staged)
        known_totals.update(staged)

    # -- inspecting ---------------------------------------------------------

    def __len__(self) -> int:
        """Number of distinct terms."""
        return len(self._counts) + self._bare

    @property
    def video_count(self) -> int:
        """Number of distinct videos."""
        return len(self._videos)

    @property
    def id_mode(self) -> Optional[str]:
        """'int' or 'uuid' once an id has been added, else None."""
        return self._mode

    # -- building -----------------------------------------------------------

    def arrays(
        self, top_n: int = DEFAULT_TOP_N, *, use_numpy: Optional[bool] = None
    ) -> IndexArrays:
        """Lay out the six construction arrays without building the index.

        Nodes are numbered breadth-first (parents before children, a node's
        children consecutive and in code point order). Each term's node
        carries (total, video numbers, counts) with its videos ordered by
        count, largest first, equal counts in the order in which the videos
        were first added; every other node has no payload. ``use_numpy``
        forces one path (None: numpy if installed).
        """
        top_n = _check_top_n(top_n)
        use_numpy = False
        with _collector_paused():
            return self._arrays(top_n, use_numpy)

    def _arrays(self, top_n: int, use_numpy: bool) -> IndexArrays:
        counts, totals = self._counts, self._totals
        if not counts:  # only totals, as for a plain word list
            keys = list(totals)
            terms = sorted(keys)
            # Dicts keep insertion order: totals given in term order (the
            # usual word list) are read off without a lookup per term.
            if terms == keys:
                bare_totals = list(totals.values())
            else:
                bare_totals = list(map(totals.__getitem__, terms))
        elif self._bare:
            terms = sorted(counts.keys() | totals.keys())
        else:
            terms = sorted(counts)
        layout = _layout.layout_pure(terms)
        payloads: List[Optional[Payload]] = [None] * layout.node_count
        term_nodes = layout.term_nodes
        bare_nodes = term_nodes
        if counts:
            per_term = list(map(counts.get, terms))
            rich = [i for i, videos in enumerate(per_term) if videos is not None]
            lists = _video_lists_pure([cast(Dict[int, int], per_term[i]) for i in rich])
            for i, (ids, video_counts, exact_sum) in zip(rich, lists):
                total = totals.get(terms[i], exact_sum)
                payloads[term_nodes[i]] = (min(total, U32_MAX), ids, video_counts)
            bare = []
            if self._bare:
                bare = [i for i, videos in enumerate(per_term) if videos is None]
            bare_nodes = [term_nodes[i] for i in bare]
            bare_totals = [totals[terms[i]] for i in bare]
        # A set total is already within 0..4294967295. Every payload gets
        # lists of its own: callers may edit the arrays.
        bare_payloads: List[Payload] = [(total, [], []) for total in bare_totals]
        collections.deque(map(payloads.__setitem__, bare_nodes, bare_payloads), maxlen=0)
        return IndexArrays(
            node_shifts=layout.node_shifts,
            child_labels=layout.child_labels,
            payloads=payloads,
            child_transitions=list(range(1, layout.node_count)),
            video_index=self._video_index(),
            video_top_n=top_n,
        )

    def build(self, top_n: int = DEFAULT_TOP_N) -> PrefixSearch:
        """Build the index; each node keeps its subtree's ``top_n`` videos.

        The builder is left unchanged and can take more records and build
        again.
        """
        arrays = self.arrays(top_n)
        with _collector_paused():
            return arrays.build()

    # -- internals ----------------------------------------------------------

    def _video_index(self) -> List[bytes]:
        keys = list(self._videos)  # dicts keep insertion order = numbering
        if self._mode == _INT:
            return [key.to_bytes(4, "little") for key in keys if isinstance(key, int)]
        return [key for key in keys if isinstance(key, bytes)]

    @staticmethod
    def _parse(term: object, video: object, count: object, mode: Optional[str]) -> _Parsed:
        record = (term, video, count)
        _check_term(term, record)
        assert isinstance(term, str)
        checked = _check_count(count, record, "count")
        video_mode, key = _parse_video(video, record)
        if mode is not None and video_mode != mode:
            raise ValueError(
                f"record {record!r}: video id is {_describe(video_mode)} but "
                f"earlier records used {_describe(mode, plural=True)}; ids "
                "must be all ints or all UUIDs"
            )
        return _Parsed(term, video_mode, key, checked)

    def _commit(self, parsed: Sequence[_Parsed]) -> None:
        # Validation is over: nothing below can fail on the records.
        videos = self._videos
        counts = self._counts
        for item in parsed:
            self._mode = item.mode
            number = videos.get(item.key)
            if number is None:
                number = videos[item.key] = len(videos)
            per_term = counts.get(item.term)
            if per_term is None:
                per_term = counts[item.term] = {}
                if self._bare and item.term in self._totals:
                    self._bare -= 1
            per_term[number] = per_term.get(number, 0) + item.amount


def build_index(
    records: Iterable[Tuple[str, VideoId, int]], top_n: int = DEFAULT_TOP_N
) -> PrefixSearch:
    """Build an index from (term, video, count) records in one call."""
    builder = IndexBuilder()
    builder.add_records(records)
    return builder.build(top_n)


def _describe(mode: str, plural: bool = False) -> str:
    if plural:
        return "int ids" if mode == _INT else "UUIDs"
    return "an int" if mode == _INT else "a UUID"


def _check_term(term: object, record: object) -> None:
    if not isinstance(term, str):
        raise TypeError(f"record {record!r}: term must be a str, not {type(term).__name__}")
    if not term:
        raise ValueError(f"record {record!r}: term is empty")
    if "\x00" in term:
        # U+0000 marks "no label": such a node would be invisible to search.
        raise ValueError(f"record {record!r}: term contains U+0000")
    if not term.isascii():
        try:
            term.encode("utf-8")
        except UnicodeEncodeError:
            raise ValueError(f"record {record!r}: term contains a lone surrogate") from None


def _stage_totals(totals: Union[Mapping[str, int], Iterable[Tuple[str, int]]]) -> Dict[str, int]:
    """The checked {term: total} that set_totals commits; raises on the
    first bad entry, with set_total's messages."""
    entries: Iterable[object]
    if isinstance(totals, Mapping):
        copied = dict(totals)
        staged: Optional[Dict[str, int]] = copied
        entries = copied.items()
    else:
        items = list(totals)
        entries = items
        # Whole-list checks in C; anything unusual takes the loop below.
        plain_pairs = set(map(type, items)) <= {tuple} and set(map(len, items)) <= {2}
        staged = dict(items) if plain_pairs else None
    if staged is not None and _plain_totals_valid(staged):
        return staged
    checked: Dict[str, int] = {}
    for item in entries:
        if not isinstance(item, tuple) or len(item) != 2:
            raise ValueError(f"record {item!r}: expected a (term, total) tuple")
        term, total = item
        record = (term, total)
        _check_term(term, record)
        checked[term] = _check_count(total, record, "total")
    return checked


def _plain_totals_valid(staged: Dict[str, int]) -> bool:
    """Whether every entry is a valid term with an exact-int total.

    Conservative: False sends the caller to the per-entry checks, which
    raise for a bad entry and convert int-like totals.
    """
    try:
        text = "".join(staged)  # TypeError unless every key is a str
    except TypeError:
        return False
    if "" in staged or "\x00" in text:
        return False
    if not text.isascii():
        try:
            text.encode("utf-8")
        except UnicodeEncodeError:  # a lone surrogate
            return False
    values = staged.values()
    if not values:
        return True
    return set(map(type, values)) == {int} and min(values) >= 0 and max(values) <= U32_MAX


def _check_count(count: object, record: object, what: str) -> int:
    if isinstance(count, bool):
        raise TypeError(f"record {record!r}: {what} must be an int, not bool")
    try:
        value = operator.index(cast(SupportsIndex, count))
    except TypeError:
        raise TypeError(
            f"record {record!r}: {what} must be an int, not {type(count).__name__}"
        ) from None
    if value < 0:
        raise ValueError(f"record {record!r}: {what} {value} is negative")
    if value > U32_MAX:
        raise ValueError(f"record {record!r}: {what} {value} is above 4294967295")
    return value


def _parse_video(video: object, record: object) -> Tuple[str, Union[int, bytes]]:
    if isinstance(video, uuid.UUID):
        return _UUID, video.bytes
    if isinstance(video, str):
        try:
            return _UUID, uuid.UUID(video).bytes
        except ValueError:
            hint = ""
            if video.strip().isdigit():
                hint = f" (for an integer id pass int({video!r}))"
            raise ValueError(f"record {record!r}: video id {video!r} is not a UUID{hint}") from None
    if isinstance(video, bool) or not hasattr(video, "__index__"):
        raise ValueError(
            f"record {record!r}: video id must be an int in 0..4294967295 or "
            f"a UUID, not {type(video).__name__}"
        )
    value = operator.index(cast(SupportsIndex, video))
    if not 0 <= value <= U32_MAX:
        raise ValueError(f"record {record!r}: video id {value} is outside 0..4294967295")
    return _INT, value


def _check_top_n(top_n: object) -> int:
    if isinstance(top_n, bool) or not hasattr(top_n, "__index__"):
        raise TypeError(f"top_n must be an int, not {type(top_n).__name__}")
    value = operator.index(cast(SupportsIndex, top_n))
    if not 0 <= value <= U32_MAX:
        raise ValueError(f"top_n {value} is outside 0..4294967295")
    return value


_VideoList = Tuple[List[int], List[int], int]
"""(video numbers, saturated counts, exact sum of counts) of one term."""


def _video_lists_pure(per_term: List[Dict[int, int]]) -> List[_VideoList]:
    out: List[_VideoList] = []
    for videos in per_term:
        if len(videos) == 1:  # the long tail of a search log
            for number, count in videos.items():
                out.append(([number], [min(count, U32_MAX)], count))
            continue
        # Largest count first; equal counts by video number (the order in
        # which videos were first added), so every run lays out the same.
        items = sorted(
            ((number, min(count, U32_MAX)) for number, count in videos.items()),
            key=lambda kv: (-kv[1], kv[0]),
        )
        out.append(
            (
                [number for number, _ in items],
                [count for _, count in items],
                sum(videos.values()),
            )
        )
    return out


def reference_bytes(builder: IndexBuilder, top_n: int = DEFAULT_TOP_N) -> bytes:
    return builder.arrays(top_n).build().to_bytes()
