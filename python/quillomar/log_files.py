"""Reading (term, video, count) logs from files into an :class:`IndexBuilder`.

CSV and TSV files: the first line is a header naming the columns (by
default ``term``, ``video`` and ``count``, in any order, other columns
ignored, names compared case-blind). A log without the count column holds
one row per event, each counting 1. A header containing a tab makes the
file TSV (no quoting: every character of a field is literal); otherwise it
is CSV with the usual double-quote rules. Gzip-compressed files are
recognised by their content, whatever their name, and a leading byte-order
mark is skipped. A video field of ASCII digits only is an integer id;
anything else is read as UUID text. The native engine parses the bytes; no
row becomes a Python object.

Parquet files, and dataset folders of them (part files, partition
subfolders and marker files such as ``_SUCCESS``, as Spark and DuckDB write
them), are read through pyarrow (``pip install quillomar[parquet]``).
"""

from __future__ import annotations

import csv
import gzip
import importlib
import io
import os
import zlib
from typing import IO, TYPE_CHECKING, Any, Callable, List, Optional, Tuple, Union, cast

from ._engine import BadRecordError, DelimitedReader

if TYPE_CHECKING:
    from .builder import IndexBuilder, VideoId

__all__ = ["LogFileError", "RecordsError", "add_file", "parse_video"]

GZIP_MAGIC = b"\x1f\x8b"
PARQUET_MAGIC = b"PAR1"
BOM = b"\xef\xbb\xbf"
CHUNK = 1 << 22
HEADER_LIMIT = 1 << 20
"""A first line longer than this is not a header: the file is not a log."""

Progress = Callable[[int, int, int], None]
"""Called with (bytes read so far, total bytes, rows so far)."""

PathLike = Union[str, "os.PathLike[str]"]


class LogFileError(ValueError):
    """A log file that cannot be read; the text names file and line."""


# Another name for LogFileError, which callers may import.
RecordsError = LogFileError


class Columns:
    """The names of the columns a log is read from.

    ``count`` None: every row counts 1. With ``count_required`` false (the
    default column name, as nobody named it) a log without that column is a
    log of events, one row per search, each counting 1. ``time`` names the
    timestamps the rows decay by (see :mod:`quillomar.recency`).
    """

    def __init__(
        self,
        term: str = "term",
        video: str = "video",
        count: Optional[str] = "count",
        *,
        count_required: bool = False,
        time: Optional[str] = None,
    ) -> None:
        self.term, self.video, self.count = term, video, count
        self.count_required = count_required
        self.time = time

    def names(self) -> Tuple[str, ...]:
        """The columns that must be present."""
        optional = self.count is not None and not self.count_required
        return tuple(
            c
            for c in (self.term, self.video, None if optional else self.count, self.time)
            if c is not None
        )

    def resolved(self, present: List[str], fold: bool = False) -> "Columns":
        """These columns for a log whose header names ``present``: an
        optional count column that is absent becomes None."""
        count = self.count
        if count is not None and not self.count_required:
            names = [p.strip().lower() for p in present] if fold else present
            if (count.strip().lower() if fold else count) not in names:
                count = None
        return Columns(self.term, self.video, count, count_required=True, time=self.time)


def parse_video(text: str) -> "VideoId":
    """An all-digit field is an integer id, anything else UUID text."""
    text = text.strip()
    if text.isascii() and text.isdigit():
        return int(text)
    return text


def add_file(
    builder: "IndexBuilder",
    path: PathLike,
    columns: Optional[Columns] = None,
    progress: Optional[Progress] = None,
) -> int:
    """Adds every record of a CSV/TSV file (optionally gzip), a Parquet file
    or a Parquet dataset folder; returns the rows read.

    Raises LogFileError naming the file (and line or row) for bad input,
    OSError if the file cannot be opened or read.
    """
    columns = columns or Columns()
    name = os.fspath(path)
    if os.path.isdir(name):
        return _add_parquet(builder, name, columns, progress)
    with open(name, "rb") as raw:
        magic = raw.read(4)
        raw.seek(0)
        if magic == PARQUET_MAGIC:
            return _add_parquet(builder, name, columns, progress)
        return _add_delimited(builder, name, raw, columns, progress)


# -- CSV and TSV --------------------------------------------------------------


def _add_delimited(
    builder: "IndexBuilder",
    name: str,
    raw: IO[bytes],
    columns: Columns,
    progress: Optional[Progress],
) -> int:
    total = os.fstat(raw.fileno()).st_size
    stream: IO[bytes] = raw
    if raw.read(2) == GZIP_MAGIC:
        raw.seek(0)
        stream = cast(IO[bytes], gzip.GzipFile(fileobj=raw, mode="rb"))
    else:
        raw.seek(0)
    try:
        header, rest = _header_line(name, stream)
        if columns.time is not None:
            return _add_delimited_decayed(builder, name, header, rest, stream, columns, progress)
        reader = _reader_for(name, header, columns)
        rows = 0
        chunk = rest
        while True:
            final = not chunk
            try:
                rows += builder._feed(reader, chunk, final)
            except BadRecordError as err:
                message, line = err.args
                raise LogFileError(f"{name}:{line}: {message}") from None
            if progress is not None:
                progress(raw.tell(), total, rows)
            if final:
                return rows
            chunk = stream.read(CHUNK)
    except (EOFError, gzip.BadGzipFile, zlib.error) as err:
        raise LogFileError(f"{name}: damaged gzip data ({err})") from None


def _header_line(name: str, stream: IO[bytes]) -> Tuple[str, bytes]:
    """The header (decoded, without its line break) and the bytes after it."""
    data = b""
    while True:
        chunk = stream.read(1 << 16)
        data += chunk
        cut = min((i for i in (data.find(b"\n"), data.find(b"\r")) if i >= 0), default=-1)
        # A \r at the very end may be the first half of \r\n.
        if cut >= 0 and (cut + 1 < len(data) or not chunk or data[cut] == 10):
            break
        if not chunk:
            cut = len(data)
            break
        if len(data) > HEADER_LIMIT:
            raise LogFileError(
                f"{name}:1: no header line in the first {HEADER_LIMIT:,} bytes; not a records file"
            )
    if not data:
        raise LogFileError(
            f"{name}: empty file, expected a header line with term, video and count columns"
        )
    line = data[:cut]
    after = cut + 1 if cut < len(data) else cut
    if data[cut : cut + 2] == b"\r\n":
        after = cut + 2
    if line.startswith(BOM):
        line = line[len(BOM) :]
    try:
        text = line.decode("utf-8")
    except UnicodeDecodeError as err:
        raise LogFileError(f"{name}: not UTF-8 text ({err.reason})") from None
    return text, data[after:]


def _header_fields(name: str, header_line: str, columns: Columns) -> Tuple[List[str], Columns]:
    """The header's fields and the columns resolved against them; raises
    LogFileError when a required column is missing."""
    if "\t" in header_line:
        fields = next(csv.reader([header_line], delimiter="\t", quoting=csv.QUOTE_NONE), [])
    else:
        fields = next(csv.reader([header_line]), [])
    names = [field.strip().lower() for field in fields]
    columns = columns.resolved(fields, fold=True)
    wanted = [c.strip().lower() for c in columns.names()]
    missing = [c for c in wanted if c not in names]
    if missing:
        raise LogFileError(
            f"{name}:1: header {header_line.strip()!r} lacks the column(s) "
            f"{', '.join(missing)}; expected {', '.join(wanted)}"
        )
    return fields, columns


def _reader_for(name: str, header_line: str, columns: Columns) -> DelimitedReader:
    fields, columns = _header_fields(name, header_line, columns)
    names = [field.strip().lower() for field in fields]
    term_at, video_at = (names.index(c.strip().lower()) for c in (columns.term, columns.video))
    count_at = -1 if columns.count is None else names.index(columns.count.strip().lower())
    return DelimitedReader("\t" in header_line, term_at, video_at, count_at, len(names))


def _add_delimited_decayed(
    builder: "IndexBuilder",
    name: str,
    header: str,
    rest: bytes,
    stream: IO[bytes],
    columns: Columns,
    progress: Optional[Progress],
) -> int:
    """A CSV or TSV log with a time column, read through pyarrow's CSV
    reader (whose column types give Unix seconds and ISO 8601 times); rows
    are numbered by line, the header being line 1, blank lines not
    counted."""
    from .arrow_input import _pyarrow, add_batches

    pa = _pyarrow()
    pacsv = importlib.import_module("pyarrow.csv")
    fields, columns = _header_fields(name, header, columns)
    tsv = "\t" in header
    by_name = {f.strip().lower(): f for f in fields}

    def field(column: Optional[str]) -> Optional[str]:
        return None if column is None else by_name[column.strip().lower()]

    term, video = by_name[columns.term.strip().lower()], by_name[columns.video.strip().lower()]
    count, time_ = field(columns.count), field(columns.time)
    body = io.BytesIO((header + "\n").encode("utf-8") + rest + stream.read())
    try:
        table = pacsv.read_csv(
            body,
            parse_options=pacsv.ParseOptions(
                delimiter="\t" if tsv else ",", quote_char=False if tsv else '"'
            ),
            convert_options=pacsv.ConvertOptions(
                include_columns=[c for c in (term, video, count, time_) if c is not None],
                column_types={term: pa.string(), video: pa.string()},
                timestamp_parsers=[pacsv.ISO8601],
            ),
        )
    except pa.ArrowInvalid as err:
        raise LogFileError(f"{name}: {str(err).splitlines()[0]}") from None
    table = table.set_column(
        table.schema.get_field_index(video), video, _typed_videos(pa, table.column(video))
    )
    try:
        rows = add_batches(
            builder,
            table.to_batches(),
            term,
            video,
            count,
            time_column=time_,
            locate=lambda row: f"{name}:{row + 2}: ",
        )
    except ValueError as err:
        raise LogFileError(str(err)) from None
    if progress is not None:
        size = os.path.getsize(name)
        progress(size, size, rows)
    return rows


def _typed_videos(pa: Any, column: Any) -> Any:
    """Video fields as the native reader takes them: integers when every
    field is ASCII digits, else the text (UUIDs)."""
    pc = pa.compute
    trimmed = pc.utf8_trim_whitespace(column)
    if len(trimmed) and pc.all(pc.match_substring_regex(trimmed, r"^[0-9]+$")).as_py():
        try:
            return pc.cast(trimmed, pa.uint64())
        except pa.ArrowInvalid:
            pass
    return trimmed


# -- Parquet ------------------------------------------------------------------


def _add_parquet(
    builder: "IndexBuilder", name: str, columns: Columns, progress: Optional[Progress]
) -> int:
    from .arrow_input import _pyarrow, add_batches

    pa = _pyarrow()
    ds = importlib.import_module("pyarrow.dataset")

    try:
        dataset = ds.dataset(name, format="parquet", partitioning="hive")
        fragments: List[object] = list(dataset.get_fragments())
    except (pa.ArrowInvalid, pa.ArrowException, OSError) as err:
        raise LogFileError(f"{name}: not a readable Parquet dataset ({_one_line(err)})") from None
    if not fragments:
        raise LogFileError(f"{name}: no Parquet files found")
    sizes = {}
    for fragment in fragments:
        path = getattr(fragment, "path", name)
        try:
            sizes[path] = os.path.getsize(path)
        except OSError:
            sizes[path] = 0
    total = sum(sizes.values())
    columns = columns.resolved(list(dataset.schema.names))
    done = 0
    rows = 0
    for fragment in fragments:
        path = getattr(fragment, "path", name)
        try:
            schema = fragment.physical_schema  # type: ignore[attr-defined]
            for wanted in columns.names():
                if wanted not in schema.names:
                    raise LogFileError(
                        f"{path}: no column {wanted!r} (columns: "
                        f"{', '.join(schema.names) or 'none'})"
                    )
            batches = fragment.to_batches(  # type: ignore[attr-defined]
                columns=list(columns.names()), batch_size=1 << 20
            )
            rows += add_batches(
                builder,
                batches,
                columns.term,
                columns.video,
                columns.count,
                where=path,
                time_column=columns.time,
            )
        except LogFileError:
            raise
        except (pa.ArrowException, OSError) as err:
            # Before ValueError: pyarrow's ArrowInvalid is one, and its text
            # names no file.
            raise LogFileError(f"{path}: not a readable Parquet file ({_one_line(err)})") from None
        except ValueError as err:
            raise LogFileError(_one_line(err)) from None
        done += sizes[path]
        if progress is not None:
            progress(done, total, rows)
    return rows


def _one_line(err: BaseException) -> str:
    """An error's text on one line (pyarrow's messages may hold several)."""
    return " ".join(str(err).split())
