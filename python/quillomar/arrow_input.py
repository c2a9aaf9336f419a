"""Adding records from Arrow data: pyarrow tables and record batch readers,
and any object with the Arrow PyCapsule interface (``__arrow_c_stream__`` or
``__arrow_c_array__``: polars and DuckDB results, pandas through pyarrow).

Columns are handed to the native engine as the Arrow buffers themselves,
batch by batch, so no row ever becomes a Python object. Terms are string or
large_string (dictionary-encoded and view strings are decoded per batch);
video ids are integers, UUID text, or 16-byte binary (the UUID type
included); counts are integers (without a count column every row counts 1). A null, a bad value or a wrong column type
raises ValueError naming the row (counting from 0) or the column.
"""

from __future__ import annotations

import importlib
from array import array
from typing import TYPE_CHECKING, Any, Callable, Iterable, Iterator, Optional, Tuple, Union

from ._engine import BadRecordError
from .recency import Decay, format_time, seconds_column

if TYPE_CHECKING:
    from .builder import IndexBuilder

__all__ = ["add_arrow", "add_batches", "arrow_batches"]

_INT_FORMATS = {
    "int8": "b",
    "int16": "h",
    "int32": "i",
    "int64": "q",
    "uint8": "B",
    "uint16": "H",
    "uint32": "I",
    "uint64": "Q",
}


def _pyarrow() -> Any:
    try:
        pyarrow = importlib.import_module("pyarrow")
        importlib.import_module("pyarrow.compute")
    except ImportError:
        raise ImportError(
            "reading Arrow data and Parquet files needs pyarrow: pip install 'quillomar[parquet]'"
        ) from None
    return pyarrow


def arrow_batches(data: object) -> Iterator[Any]:
    """The record batches of ``data``, one at a time."""
    pa = _pyarrow()
    if isinstance(data, pa.RecordBatch):
        yield data
    elif isinstance(data, pa.Table):
        yield from data.to_batches()
    elif isinstance(data, pa.RecordBatchReader):
        yield from data
    elif hasattr(data, "__arrow_c_stream__"):
        yield from pa.RecordBatchReader.from_stream(data)
    elif hasattr(data, "__arrow_c_array__"):
        yield pa.record_batch(data)
    else:
        raise TypeError(
            "expected Arrow data (a pyarrow Table, RecordBatch or "
            "RecordBatchReader, or an object with __arrow_c_stream__ or "
            f"__arrow_c_array__), not {type(data).__name__}"
        )


def _buffer(buf: Any, start: int, stop: int, fmt: str) -> Union[memoryview, bytes]:
    """Bytes start..stop of an Arrow buffer, viewed as `fmt` items."""
    if buf is None:
        return b""
    view = memoryview(buf).cast("B")[start:stop]
    return view if fmt == "B" else view.cast(fmt)  # type: ignore[call-overload]


def _first_null(pa: Any, column: Any) -> int:
    return int(pa.compute.index(column.is_null(), True).as_py())


def _string_column(pa: Any, column: Any) -> Tuple[Any, Union[memoryview, bytes]]:
    """(data, offsets) buffers of a string column."""
    t = column.type
    if pa.types.is_string_view(t) or pa.types.is_dictionary(t):
        column = column.cast(pa.large_string())
        t = column.type
    width, fmt = (8, "q") if pa.types.is_large_string(t) else (4, "i")
    _, offsets, data = column.buffers()
    start = column.offset
    return (
        _buffer(data, 0, len(data) if data is not None else 0, "B"),
        _buffer(offsets, start * width, (start + len(column) + 1) * width, fmt),
    )


def _is_text(pa: Any, t: Any) -> bool:
    return bool(
        pa.types.is_string(t)
        or pa.types.is_large_string(t)
        or pa.types.is_string_view(t)
        or (
            pa.types.is_dictionary(t)
            and (pa.types.is_string(t.value_type) or pa.types.is_large_string(t.value_type))
        )
    )


def _int_column(column: Any, what: str, name: str) -> Union[memoryview, bytes]:
    fmt = _INT_FORMATS.get(str(column.type))
    if fmt is None:
        raise ValueError(f"{what} column {name!r} has type {column.type}; expected integers")
    width = column.type.bit_width // 8
    start = column.offset
    return _buffer(column.buffers()[1], start * width, (start + len(column)) * width, fmt)


def _video_column(pa: Any, column: Any, name: str) -> Tuple[object, str]:
    t = column.type
    if isinstance(t, pa.BaseExtensionType):
        column = column.storage
        t = column.type
    if pa.types.is_integer(t):
        return _int_column(column, "video", name), "int"
    if _is_text(pa, t):
        return _string_column(pa, column), "uuid_text"
    if pa.types.is_fixed_size_binary(t) and t.byte_width == 16:
        start = column.offset
        return _buffer(column.buffers()[1], start * 16, (start + len(column)) * 16, "B"), "uuid"
    raise ValueError(
        f"video column {name!r} has type {t}; expected integers, UUID text or 16-byte binary"
    )


Locate = Callable[[int], str]
"""The start of a message about a row (from 0), e.g. ``"log.parquet: row 7: "``."""


def add_arrow(
    builder: "IndexBuilder",
    data: object,
    term_column: str = "term",
    video_column: str = "video",
    count_column: Optional[str] = "count",
    where: Optional[str] = None,
    time_column: Optional[str] = None,
) -> int:
    """Adds every row of ``data`` to ``builder``; returns the rows added.

    ``where`` prefixes messages (e.g. a file name). Without a count column
    every row counts 1; with a time column the rows decay (see
    :mod:`quillomar.recency`).
    """
    return add_batches(
        builder,
        arrow_batches(data),
        term_column,
        video_column,
        count_column,
        where,
        time_column=time_column,
    )


def add_batches(
    builder: "IndexBuilder",
    batches: Iterable[Any],
    term_column: str,
    video_column: str,
    count_column: Optional[str],
    where: Optional[str] = None,
    *,
    time_column: Optional[str] = None,
    locate: Optional[Locate] = None,
) -> int:
    """Adds every row of some pyarrow record batches (see add_arrow)."""
    pa = _pyarrow()
    prefix = f"{where}: " if where else ""
    if locate is None:
        locate = lambda row: f"{prefix}row {row}: "  # noqa: E731
    decay = builder._decay_for(time_column)
    wanted = [c for c in (term_column, video_column, count_column, time_column) if c is not None]
    base = 0
    for batch in batches:
        names = batch.schema.names
        for name in wanted:
            if name not in names:
                raise ValueError(
                    f"{prefix}no column {name!r} (columns: {', '.join(names) or 'none'})"
                )
        terms = batch.column(term_column)
        videos = batch.column(video_column)
        counts = batch.column(count_column) if count_column is not None else None
        times = batch.column(time_column) if time_column is not None else None
        if not _is_text(pa, terms.type):
            raise ValueError(
                f"{prefix}term column {term_column!r} has type {terms.type}; expected strings"
            )
        checked = ((terms, "term"), (videos, "video id"), (counts, "count"), (times, "time"))
        for column, what in checked:
            if column is not None and column.null_count:
                raise ValueError(f"{locate(base + _first_null(pa, column))}{what} is null")
        term_data, term_offsets = _string_column(pa, terms)
        try:
            video_buffers, kind = _video_column(pa, videos, video_column)
            if counts is not None:
                count_buffer: Union[memoryview, bytes, "array[int]"] = _int_column(
                    counts, "count", count_column or ""
                )
            else:
                count_buffer = array("I", [1]) * batch.num_rows
        except ValueError as err:
            raise ValueError(f"{prefix}{err}") from None
        if builder._decay is not None:
            builder._note_decayed_kind(kind, locate(base))
        # Decayed rows are checked here, with the messages of every other
        # row, and counted when the builder lays out its index.
        try:
            if decay is None:
                builder.add_columns(
                    term_data,
                    video_buffers,
                    count_buffer,
                    term_offsets=term_offsets,
                    video_format=kind,
                    first_row=base,
                )
            else:
                builder._checker().add(term_data, term_offsets, video_buffers, count_buffer, kind)
        except BadRecordError as err:
            message, row = err.args
            raise ValueError(f"{locate(base + row)}{message}") from None
        except ValueError as err:
            raise ValueError(f"{prefix}{err}") from None
        if decay is not None and times is not None and time_column is not None:
            _stage_decayed(
                builder,
                decay,
                pa,
                terms,
                videos,
                counts,
                (time_column, times),
                base,
                prefix,
                locate,
            )
        base += batch.num_rows
    return base


def _stage_decayed(
    builder: "IndexBuilder",
    decay: Decay,
    pa: Any,
    terms: Any,
    videos: Any,
    counts: Any,
    named_times: Tuple[str, Any],
    base: int,
    prefix: str,
    locate: Locate,
) -> None:
    name, times = named_times
    try:
        seconds, bad = seconds_column(pa, times, name)
    except ValueError as err:  # a column of the wrong type
        raise ValueError(f"{prefix}{err}") from None
    if bad is not None:
        raise ValueError(
            f"{locate(base + bad)}time {times[bad].as_py()!r} is neither ISO 8601 nor Unix seconds"
        )
    if isinstance(videos.type, pa.BaseExtensionType):
        videos = videos.storage
    if pa.types.is_string_view(terms.type) or pa.types.is_dictionary(terms.type):
        terms = terms.cast(pa.large_string())
    future = decay.add(pa, terms, videos, counts, seconds)
    if future is not None:
        assert decay.as_of is not None
        raise ValueError(
            f"{locate(base + future)}time {times[future].as_py()!s} is after the as-of "
            f"time {format_time(decay.as_of)}"
        )
