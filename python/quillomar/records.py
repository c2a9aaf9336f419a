"""Reading (term, video, count) records from CSV or TSV files.

The first line is a header naming the columns ``term``, ``video`` and
``count`` (in any order, other columns ignored). A header containing a tab
makes the file TSV (no quoting: every character of a field is literal);
otherwise it is CSV with the usual double-quote rules. Gzip-compressed files
are recognised by their content, whatever their name. A video field of ASCII
digits only is an integer id; anything else is read as UUID text.
"""

from __future__ import annotations

import csv
import gzip
import io
import os
from typing import IO, Callable, Iterable, Iterator, List, Optional, Tuple, Union, cast

from .builder import VideoId

__all__ = ["RecordsError", "read_records"]

GZIP_MAGIC = b"\x1f\x8b"
REQUIRED = ("term", "video", "count")

Progress = Callable[[int, int], None]
"""Called with (bytes read so far, total bytes) of the file as stored."""


class RecordsError(ValueError):
    """A records file that cannot be read; the text names file and line."""


def parse_video(text: str) -> VideoId:
    """An all-digit field is an integer id, anything else UUID text."""
    text = text.strip()
    if text.isascii() and text.isdigit():
        return int(text)
    return text


def read_records(
    path: Union[str, "os.PathLike[str]"],
    progress: Optional[Progress] = None,
    progress_every: int = 8192,
) -> Iterator[Tuple[int, Tuple[str, VideoId, int]]]:
    """Yield (line number, (term, video, count)) for each data row.

    Raises RecordsError for a missing header column, a row with too few
    fields or a count that is not a decimal integer; OSError if the file
    cannot be opened or read. Range and id checks are the builder's.
    """
    name = os.fspath(path)
    with open(name, "rb") as raw:
        total = os.fstat(raw.fileno()).st_size
        stream: IO[bytes] = raw
        if raw.read(2) == GZIP_MAGIC:
            raw.seek(0)
            stream = cast(IO[bytes], gzip.GzipFile(fileobj=raw, mode="rb"))
        else:
            raw.seek(0)
        # utf-8-sig: spreadsheet exports often begin with a byte-order mark.
        text = io.TextIOWrapper(stream, encoding="utf-8-sig", newline="")
        try:
            yield from _rows(name, text, raw, total, progress, progress_every)
        except UnicodeDecodeError as err:
            raise RecordsError(f"{name}: not UTF-8 text ({err.reason})") from None
        except (EOFError, gzip.BadGzipFile) as err:
            raise RecordsError(f"{name}: damaged gzip data ({err})") from None
        except csv.Error as err:
            raise RecordsError(f"{name}: {err}") from None


def _rows(
    name: str,
    text: IO[str],
    raw: IO[bytes],
    total: int,
    progress: Optional[Progress],
    every: int,
) -> Iterator[Tuple[int, Tuple[str, VideoId, int]]]:
    header_line = text.readline()
    if not header_line:
        raise RecordsError(f"{name}: empty file, expected a header line "
                           "with term, video and count columns")
    tabs = "\t" in header_line

    def make_reader(lines: Iterable[str]) -> Iterator[List[str]]:
        if tabs:
            return csv.reader(lines, delimiter="\t", quoting=csv.QUOTE_NONE)
        return csv.reader(lines)

    header = next(make_reader([header_line]), [])
    names = [field.strip().lower() for field in header]
    missing = [column for column in REQUIRED if column not in names]
    if missing:
        raise RecordsError(
            f"{name}:1: header {header_line.strip()!r} lacks the column(s) "
            f"{', '.join(missing)}; expected term, video, count")
    term_at, video_at, count_at = (names.index(c) for c in REQUIRED)
    width = max(term_at, video_at, count_at) + 1

    line = 1
    for row in make_reader(text):
        line += 1
        if progress is not None and line % every == 0:
            progress(raw.tell(), total)
        if not row or (len(row) == 1 and not row[0].strip()):
            continue  # blank line
        if len(row) < width:
            raise RecordsError(
                f"{name}:{line}: expected {width} fields, found {len(row)}")
        count_text = row[count_at].strip()
        try:
            count = int(count_text)
        except ValueError:
            raise RecordsError(
                f"{name}:{line}: count {count_text!r} is not an integer"
            ) from None
        yield line, (row[term_at], parse_video(row[video_at]), count)
    if progress is not None:
        progress(total, total)
