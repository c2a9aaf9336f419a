"""Turning records given as Python objects into the column batches of the
native engine, checking every record on the way (all of them before any is
counted) with the messages of :mod:`quillomar._validation`.
"""

from __future__ import annotations

from array import array
from typing import (
    Dict,
    Iterable,
    List,
    Mapping,
    NamedTuple,
    Optional,
    Tuple,
    Union,
)

from . import _validation as rules

U32_MAX = rules.U32_MAX


def joined_terms(terms: List[str]) -> bytes:
    """Checked terms as the engine's NUL-terminated UTF-8 column."""
    if not terms:
        return b""
    return ("\x00".join(terms) + "\x00").encode("utf-8")


class StagedRecords(NamedTuple):
    terms: bytes
    videos: Union[array, bytes]  # type: ignore[type-arg]
    counts: array  # type: ignore[type-arg]
    mode: str
    originals: List[object]

    @property
    def rows(self) -> int:
        return len(self.counts)

    def record(self, row: int) -> object:
        return self.originals[row]


def stage_records(
    records: Iterable[object], mode: Optional[str], *, counted: bool = True
) -> StagedRecords:
    """Checks every record and returns them as columns; ``mode`` is the id
    kind of the records counted before (None for none). Records are
    (term, video, count) tuples, or with ``counted=False`` (term, video)
    events that count 1 each."""
    width, shape = (3, "(term, video, count)") if counted else (2, "(term, video)")
    terms: List[str] = []
    ints: List[int] = []
    uuids: List[bytes] = []
    counts: List[int] = []
    originals: List[object] = []
    for record in records:
        if not isinstance(record, tuple) or len(record) != width:
            raise ValueError(f"record {record!r}: expected a {shape} tuple")
        if counted:
            term, video, count = record
        else:
            term, video = record
            count = 1
        # Fast path for the common shape (ASCII term, int id and count);
        # anything else, errors included, takes the full checks.
        if (
            type(record) is tuple
            and type(video) is int
            and type(count) is int
            and mode != rules.UUID
            and rules.is_plain_term(term)
            and 0 <= count <= U32_MAX
            and 0 <= video <= U32_MAX
        ):
            mode = rules.INT32
            terms.append(term)
            ints.append(video)
            counts.append(count)
            originals.append(record)
            continue
        rules.check_term(term, record)
        checked = rules.check_count(count, record, "count")
        video_mode, key = rules.parse_video(video, record)
        if mode is not None and video_mode != mode:
            raise ValueError(rules.mixed_ids_message(record, video_mode, mode))
        mode = video_mode
        terms.append(term)
        if isinstance(key, bytes):
            uuids.append(key)
        else:
            ints.append(key)
        counts.append(checked)
        originals.append(record)
    videos: Union[array, bytes]  # type: ignore[type-arg]
    if mode == rules.UUID:
        videos = b"".join(uuids)
    else:
        videos = array("I", ints)
    return StagedRecords(
        joined_terms(terms),
        videos,
        array("I", counts),
        mode or rules.INT32,
        originals,
    )


def stage_totals(totals: Union[Mapping[str, int], Iterable[Tuple[str, int]]]) -> Dict[str, int]:
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
        rules.check_term(term, record)
        checked[term] = rules.check_count(total, record, "total")
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
