"""Reading the table of video titles shown beside ranked video ids.

CSV or TSV (a header line with a tab makes it TSV), optionally gzip
compressed, with a header naming the columns ``video`` and ``title``. Ids
are keyed the way the index writes them: integers in decimal, UUIDs in
lower-case hyphenated form.
"""

from __future__ import annotations

import csv
import gzip
import io
import os
import uuid
from typing import Dict, Iterable, List, Union

__all__ = ["TitlesError", "read_titles"]


class TitlesError(ValueError):
    """A titles table that cannot be read; the text names file and line."""


def video_key(text: str) -> str:
    """An id as the index renders it, so titles match whatever spelling of
    the id the table uses."""
    text = text.strip()
    # 32 digits may be a UUID written without hyphens; integer ids are
    # 32-bit.
    if text.isascii() and text.isdigit() and int(text) <= 0xFFFFFFFF:
        return str(int(text))
    try:
        return str(uuid.UUID(text))
    except ValueError:
        return text


def _rows(lines: Iterable[str], tabs: bool) -> Iterable[List[str]]:
    if tabs:
        return csv.reader(lines, delimiter="\t", quoting=csv.QUOTE_NONE)
    return csv.reader(lines)


def read_titles(path: Union[str, "os.PathLike[str]"]) -> Dict[str, str]:
    """Video id text -> title. Raises TitlesError or OSError."""
    name = os.fspath(path)
    with open(name, "rb") as f:
        data = f.read()
    try:
        if data[:2] == b"\x1f\x8b":
            data = gzip.decompress(data)
        text = data.decode("utf-8-sig")
    except (OSError, EOFError) as err:
        raise TitlesError(f"{name}: damaged gzip data ({err})") from None
    except UnicodeDecodeError as err:
        raise TitlesError(f"{name}: not UTF-8 text ({err.reason})") from None
    lines = io.StringIO(text, newline="")
    header_line = lines.readline()
    header = [
        cell.strip().lower() for cell in next(iter(_rows([header_line], "\t" in header_line)), [])
    ]
    if "video" not in header or "title" not in header:
        raise TitlesError(f"{name}:1: expected a header naming the columns video and title")
    video_at, title_at = header.index("video"), header.index("title")
    titles: Dict[str, str] = {}
    try:
        for line, row in enumerate(_rows(lines, "\t" in header_line), 2):
            if not row or (len(row) == 1 and not row[0].strip()):
                continue
            if len(row) <= max(video_at, title_at):
                raise TitlesError(
                    f"{name}:{line}: expected "
                    f"{max(video_at, title_at) + 1} fields, "
                    f"found {len(row)}"
                )
            titles[video_key(row[video_at])] = row[title_at].strip()
    except csv.Error as err:
        raise TitlesError(f"{name}: {err}") from None
    return titles
