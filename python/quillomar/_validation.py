"""Checks on the values of one record, with the messages that name it.

One definition each: what a term must be, what a count or total must be,
what a video id may be, what ``top_n`` may be. The native engine applies the
same term rule to text that never became a Python object (UTF-8 bytes from
logs and Arrow columns).
"""

from __future__ import annotations

import operator
import uuid
from typing import SupportsIndex, Tuple, Union, cast

U32_MAX = 4294967295

INT32 = "int32"
UUID = "uuid"
"""The two kinds of video identifier, as ``IndexBuilder.id_mode``,
``IndexMetadata.id_mode`` and the stored trailer spell them."""


EXCERPT_LENGTH = 40
"""Characters of a refused text that an error message quotes at most."""


def excerpt(text: str) -> str:
    """``text`` quoted for an error message: its first EXCERPT_LENGTH
    characters and, when longer, how long it is, so that a message stays
    one short line whatever was passed."""
    if len(text) <= EXCERPT_LENGTH:
        return repr(text)
    return f"{text[:EXCERPT_LENGTH]!r}... ({len(text):,} characters)"


def describe(mode: str, plural: bool = False) -> str:
    if plural:
        return "int ids" if mode == INT32 else "UUIDs"
    return "an int" if mode == INT32 else "a UUID"


def mixed_ids_message(record: object, mode: str, earlier: str) -> str:
    return (
        f"record {record!r}: video id is {describe(mode)} but earlier "
        f"records used {describe(earlier, plural=True)}; ids must be all "
        "ints or all UUIDs"
    )


def is_plain_term(term: object) -> bool:
    """True for a str that certainly passes check_term, cheaply: the
    common ASCII case, for fast paths."""
    return type(term) is str and term.isascii() and bool(term) and "\x00" not in term


def check_term(term: object, record: object) -> None:
    """A term is a non-empty str without U+0000 that has a UTF-8 form."""
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


def check_count(count: object, record: object, what: str) -> int:
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


def parse_video(video: object, record: object) -> Tuple[str, Union[int, bytes]]:
    """(id mode, key): an int id, or the 16 bytes of a UUID."""
    if isinstance(video, uuid.UUID):
        return UUID, video.bytes
    if isinstance(video, str):
        try:
            return UUID, uuid.UUID(video).bytes
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
    return INT32, value


def check_top_n(top_n: object) -> int:
    if isinstance(top_n, bool) or not hasattr(top_n, "__index__"):
        raise TypeError(f"top_n must be an int, not {type(top_n).__name__}")
    value = operator.index(cast(SupportsIndex, top_n))
    if not 0 <= value <= U32_MAX:
        raise ValueError(f"top_n {value} is outside 0..4294967295")
    return value
