"""Checking the query string of a completion request.

The raw bytes of the query string are parsed here rather than through the
framework's parser, which replaces bytes that are not UTF-8 with U+FFFD
and so would search for text nobody typed. Every problem becomes a
``BadRequest`` with one line saying what is wrong.
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from typing import Dict, Optional
from urllib.parse import unquote_to_bytes

__all__ = ["INDEX_NAME", "BadRequest", "CompleteParams", "Limits", "parse_complete"]


class BadRequest(ValueError):
    """A request the server refuses, answered with status 400."""


@dataclass(frozen=True)
class Limits:
    """What one completion request may ask for.

    ``max_query_length`` counts code points of the raw text. A search box
    sends what a person types; 256 characters is several times the longest
    search terms seen in logs, while the cost of a query grows with its
    length (one edit-distance row entry per character at every trie node
    visited), so a cap keeps any one request from holding a worker.
    """

    max_query_length: int = 256
    max_limit: int = 100
    max_max_dist: int = 2


@dataclass(frozen=True)
class CompleteParams:
    q: str
    limit: Optional[int]
    max_dist: Optional[int]
    index: Optional[str] = None


_KNOWN = ("q", "limit", "max_dist", "index")
# ASCII digits only (int() would also take "1_000" and Arabic-Indic
# digits), and few enough that no huge number is ever converted.
_INTEGER = re.compile(r"-?[0-9]{1,9}")
# What names an index (a language, region or catalogue): short, and safe
# to show in messages and logs as it is.
INDEX_NAME = re.compile(r"[A-Za-z0-9_][A-Za-z0-9_.-]{0,63}")


def _split(query_string: bytes) -> Dict[str, str]:
    """The known parameters, decoded as strict UTF-8; others are ignored
    (pages add cache-busting parameters)."""
    found: Dict[str, str] = {}
    for part in query_string.split(b"&"):
        if not part:
            continue
        raw_name, _, raw_value = part.partition(b"=")
        try:
            name = unquote_to_bytes(raw_name.replace(b"+", b" ")).decode("utf-8")
        except UnicodeDecodeError:
            continue  # not a name we know
        if name not in _KNOWN:
            continue
        if name in found:
            raise BadRequest(f"{name} is given more than once")
        value = unquote_to_bytes(raw_value.replace(b"+", b" "))
        try:
            # Strict UTF-8 also refuses encoded surrogates (ED A0 80 ...).
            found[name] = value.decode("utf-8")
        except UnicodeDecodeError:
            raise BadRequest(f"{name} is not valid UTF-8") from None
    return found


def _integer(name: str, text: Optional[str], low: int, high: int) -> Optional[int]:
    if text is None:
        return None
    if not _INTEGER.fullmatch(text):
        raise BadRequest(f"{name} must be an integer in {low}..{high}")
    value = int(text)
    if not low <= value <= high:
        raise BadRequest(f"{name} must be an integer in {low}..{high}, not {value}")
    return value


def parse_complete(query_string: bytes, limits: Limits) -> CompleteParams:
    """Check q, limit and max_dist; raise BadRequest for anything else."""
    found = _split(query_string)
    q = found.get("q")
    if q is None:
        raise BadRequest("q is required: the text typed so far")
    if not q:
        raise BadRequest("q is empty")
    if len(q) > limits.max_query_length:
        raise BadRequest(f"q is longer than {limits.max_query_length} characters")
    index = found.get("index")
    if index is not None and not INDEX_NAME.fullmatch(index):
        raise BadRequest("index must be a name of letters, digits, '_', '-' or '.'")
    return CompleteParams(
        q=q,
        limit=_integer("limit", found.get("limit"), 1, limits.max_limit),
        max_dist=_integer("max_dist", found.get("max_dist"), 0, limits.max_max_dist),
        index=index,
    )
