"""Recency: counts that decay with the age of the searches behind them.

With a half-life ``h``, a row logged at time ``t`` weighs
``count * 2 ** -((as_of - t) / h)``: a search one half-life old counts half
as much as one made at ``as_of``, two half-lives old a quarter. ``as_of``
defaults to the newest timestamp of the input, so building the same log
again gives the same bytes; a row after an explicit ``as_of`` is refused.

Weights are summed in floating point (float64) per (term, video), over the
terms as the builder's normalisation makes them, and then turned into the
index's integer counts by one rule::

    count = max(1, round_half_even(weight / largest_weight * COUNT_SCALE))

The largest summed weight becomes COUNT_SCALE (2**20) and the others keep
their ratio to it, to about one part in a million: a heavier pair never gets
a smaller count, and every pair that was logged keeps a count of at least 1
however old, so small weights are never dropped wholesale. COUNT_SCALE
leaves room for thousands of videos at full weight under one term before
the term's total (a 32-bit sum) saturates.

Timestamps are Arrow timestamp columns (a zone-less timestamp is taken as
UTC), Unix seconds (integers or floats), or ISO 8601 text such as
``2026-12-01T09:30:00Z`` (no offset: UTC). The arithmetic runs over Arrow
columns with pyarrow.compute; nothing per row is a Python object except the
parsing of timestamps given as text that Arrow does not type itself.
"""

from __future__ import annotations

import datetime
import math
import re
from dataclasses import dataclass, field
from typing import Any, List, Optional, Tuple, Union

__all__ = [
    "COUNT_SCALE",
    "Decay",
    "format_time",
    "parse_duration",
    "parse_time",
]

COUNT_SCALE = 1 << 20
"""The integer count the largest summed weight becomes."""

DurationLike = Union[str, int, float, datetime.timedelta]
TimeLike = Union[str, int, float, datetime.datetime]

_UNITS = {"s": 1, "m": 60, "h": 3600, "d": 86400, "w": 7 * 86400}
_DURATION = re.compile(r"\s*(\d+(?:\.\d*)?|\.\d+)\s*([smhdw]?)\s*\Z")
_EPOCH = datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)


def parse_duration(value: DurationLike) -> float:
    """Seconds in a duration: ``7d``, ``12h``, ``30m``, ``3600s`` or a bare
    number of seconds (also a number or a timedelta). Must be above 0."""
    if isinstance(value, datetime.timedelta):
        seconds = value.total_seconds()
    elif isinstance(value, (int, float)) and not isinstance(value, bool):
        seconds = float(value)
    elif isinstance(value, str):
        match = _DURATION.match(value)
        if match is None:
            raise ValueError(f"half-life {value!r} is not a duration such as 7d, 12h, 30m or 3600s")
        seconds = float(match.group(1)) * _UNITS[match.group(2) or "s"]
    else:
        raise TypeError(f"half-life must be a duration text, seconds or a timedelta, not {value!r}")
    if not (seconds > 0 and math.isfinite(seconds)):
        raise ValueError(f"half-life {value!r} must be a positive, finite duration")
    return seconds


def _iso_seconds(text: str) -> Optional[float]:
    text = text.strip()
    if text.endswith(("Z", "z")):
        text = text[:-1] + "+00:00"
    try:
        moment = datetime.datetime.fromisoformat(text)
    except ValueError:
        return None
    if moment.tzinfo is None:
        moment = moment.replace(tzinfo=datetime.timezone.utc)
    return (moment - _EPOCH).total_seconds()


def parse_time(value: TimeLike) -> float:
    """Unix seconds of a point in time: ISO 8601 text, Unix seconds (a
    number or its text), or a datetime (zone-less ones are UTC)."""
    if isinstance(value, datetime.datetime):
        if value.tzinfo is None:
            value = value.replace(tzinfo=datetime.timezone.utc)
        return (value - _EPOCH).total_seconds()
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        if not math.isfinite(value):
            raise ValueError(f"time {value!r} is not finite")
        return float(value)
    if isinstance(value, str):
        try:
            return parse_time(float(value))
        except ValueError:
            pass
        seconds = _iso_seconds(value)
        if seconds is not None:
            return seconds
        raise ValueError(f"time {value!r} is neither ISO 8601 nor Unix seconds")
    raise TypeError(f"time must be ISO 8601 text, Unix seconds or a datetime, not {value!r}")


def format_time(seconds: float) -> str:
    """ISO 8601 in UTC, as the metadata records as-of times."""
    moment = _EPOCH + datetime.timedelta(seconds=seconds)
    text = moment.isoformat(timespec="microseconds" if moment.microsecond else "seconds")
    return text.replace("+00:00", "Z")


def seconds_column(pa: Any, column: Any, name: str) -> Tuple[Any, Optional[int]]:
    """(float64 Unix seconds of a time column, first unparsable row or None)."""
    pc = pa.compute
    t = column.type
    if pa.types.is_timestamp(t):
        per_second = {"s": 1, "ms": 10**3, "us": 10**6, "ns": 10**9}[t.unit]
        ticks = pc.cast(column.cast(pa.timestamp(t.unit)), pa.int64())
        seconds = pc.divide(pc.cast(ticks, pa.float64(), safe=False), float(per_second))
    elif pa.types.is_integer(t) or pa.types.is_floating(t):
        seconds = pc.cast(column, pa.float64(), safe=False)
    elif pa.types.is_string(t) or pa.types.is_large_string(t) or pa.types.is_dictionary(t):
        texts = column.cast(pa.large_string()) if pa.types.is_dictionary(t) else column
        distinct = pc.unique(texts)
        parsed = []
        for text in distinct.to_pylist():
            try:
                parsed.append(None if text is None else parse_time(text))
            except ValueError:
                parsed.append(None)
        seconds = pc.take(pa.array(parsed, pa.float64()), pc.index_in(texts, value_set=distinct))
    else:
        raise ValueError(
            f"time column {name!r} has type {t}; expected timestamps, Unix seconds or ISO 8601 text"
        )
    bad = pc.or_kleene(pc.is_null(seconds), pc.invert(pc.is_finite(seconds)))
    if pc.any(bad).as_py():
        return seconds, int(pc.index(bad, True).as_py())
    return seconds, None


@dataclass
class _Part:
    """One batch's rows summed per (term, video) as weights relative to the
    batch's newest time, so that no weight overflows before as-of is known."""

    table: Any  # columns term, video, w
    newest: float


@dataclass
class Decay:
    """The decayed rows a builder holds until it lays out its index."""

    half_life: float
    as_of: Optional[float] = None
    parts: List[_Part] = field(default_factory=list)
    settled_as_of: Optional[float] = None

    def add(self, pa: Any, terms: Any, videos: Any, counts: Any, seconds: Any) -> Optional[int]:
        """Stages a batch; returns the first row after an explicit as-of."""
        pc = pa.compute
        if len(seconds) == 0:
            return None
        newest = pc.max(seconds).as_py()
        if self.as_of is not None and newest > self.as_of:
            return int(pc.index(pc.greater(seconds, self.as_of), True).as_py())
        ages = pc.divide(pc.subtract(seconds, newest), self.half_life)
        weights = pc.power(2.0, ages)
        if counts is not None:
            weights = pc.multiply(weights, pc.cast(counts, pa.float64()))
        table = pa.table({"term": terms, "video": videos, "w": weights})
        summed = table.group_by(["term", "video"], use_threads=False).aggregate([("w", "sum")])
        self.parts.append(_Part(summed.rename_columns(["term", "video", "w"]), newest))
        return None

    def settle(self, pa: Any, normalize: Optional[Any]) -> Optional[Any]:
        """All staged rows as one table of (term, video, count uint32) by the
        module's rule, or None when nothing was staged; ``normalize`` maps
        distinct terms (None: as given). Clears the staged rows."""
        if not self.parts:
            return None
        pc = pa.compute
        as_of = self.as_of
        if as_of is None:
            as_of = max(part.newest for part in self.parts)
        self.settled_as_of = as_of
        tables = []
        for part in self.parts:
            factor = 2.0 ** ((part.newest - as_of) / self.half_life)
            table = part.table
            tables.append(table.set_column(2, "w", pc.multiply(table.column("w"), factor)))
        self.parts = []
        try:
            merged = pa.concat_tables(tables, promote_options="permissive")
        except (pa.ArrowInvalid, pa.ArrowTypeError) as err:
            raise ValueError(f"decayed rows of different column types ({err})") from None
        if normalize is not None:
            distinct = pc.unique(merged.column("term"))
            rewritten = pa.array([normalize(t) for t in distinct.to_pylist()], pa.large_string())
            terms = pc.take(rewritten, pc.index_in(merged.column("term"), value_set=distinct))
            merged = merged.set_column(0, "term", terms)
        if len(tables) > 1 or normalize is not None:
            merged = merged.group_by(["term", "video"], use_threads=False).aggregate([("w", "sum")])
            merged = merged.rename_columns(["term", "video", "w"])
        weights = merged.column("w")
        largest = pc.max(weights).as_py() or 0.0
        if largest > 0:
            scaled = pc.multiply(pc.divide(weights, largest), float(COUNT_SCALE))
            rounded = pc.round(scaled, ndigits=0, round_mode="half_to_even")
            counts = pc.max_element_wise(rounded, 1.0)
        else:  # every weight underflowed: all logged pairs alike
            counts = pc.add(pc.multiply(weights, 0.0), 1.0)
        return merged.set_column(2, "count", pc.cast(counts, pa.uint32()))
