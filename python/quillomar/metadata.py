"""The metadata trailer: what an index file says about itself.

An index file is the encoded index, optionally followed by a trailer that
the extension never reads (its decoder stops after the index's last field
and ignores what follows). The trailer records how the terms were
normalised and a few counts, so that a reader need not walk the index::

    <encoded index> <body> <footer>

``body`` is a JSON object in ASCII. ``footer`` is 55 ASCII bytes at the very
end of the file: four fixed-width lower-case hexadecimal numbers, then a
magic line::

    index length (16 digits) | body length (8) | CRC-32 of body (8) |
    trailer version (4) | b"quillomar-metadata\\n"

A reader checks the last 19 bytes for the magic, then the lengths (they
must add up to the file's size), the checksum and the version, and finds
the index as the first ``index length`` bytes. Every byte of a trailer is
printable ASCII or a newline, while an encoded index always ends with the
byte 0x00 or 0x01 (its last field is a run of terminal flags, or the count
0 of an empty run), so a file cut anywhere inside its trailer can be told
from a file that never had one.
"""

from __future__ import annotations

import datetime
import json
import zlib
from dataclasses import asdict, dataclass
from typing import Any, Dict, Optional, Tuple

__all__ = [
    "FOOTER_LENGTH",
    "IndexMetadata",
    "MAGIC",
    "METADATA_VERSION",
    "MetadataError",
    "encode_trailer",
    "node_count_of",
    "parse_body",
    "parse_footer",
    "recency_fields",
    "tail_counts",
    "utc_now",
]

MAGIC = b"quillomar-metadata\n"
METADATA_VERSION = 1
"""Version of the trailer layout and of the body's fields."""

_FIELDS = ((16, "index length"), (8, "body length"), (8, "checksum"), (4, "version"))
FOOTER_LENGTH = sum(width for width, _ in _FIELDS) + len(MAGIC)


class MetadataError(ValueError):
    """A file's metadata trailer is truncated, damaged or not ours."""


@dataclass(frozen=True)
class IndexMetadata:
    """What an index file records about its index."""

    normalization: str
    """Name of the normalisation applied to the terms ("none": as given)."""
    top_n: Optional[int]
    """Videos kept per trie node when it was built (None: not known)."""
    terms: int
    nodes: int
    videos: int
    """Entries of the identifier table."""
    id_mode: str
    """'int32' or 'uuid'."""
    built_at: str
    """When the index was built, ISO 8601 in UTC (e.g. 2026-12-09T12:00:00Z)."""
    version: int = METADATA_VERSION
    """Version of the metadata layout that stored it."""
    writer: str = ""
    """The program that wrote the file, with its version."""
    half_life: Optional[float] = None
    """Seconds in which a logged row's weight halved (None: no decay)."""
    as_of: Optional[str] = None
    """With a half-life: the time ages were measured to, ISO 8601 in UTC."""


_OPTIONAL: Dict[str, Any] = {"half_life": (int, float), "as_of": (str,)}
"""Keys a body has only when they apply; absent means None."""


def recency_fields(recency: Optional[Tuple[float, Optional[float]]]) -> Dict[str, Any]:
    """The metadata fields of a builder's (half-life, as-of) recency."""
    if recency is None:
        return {}
    from .recency import format_time

    half_life, as_of = recency
    return {"half_life": half_life, "as_of": None if as_of is None else format_time(as_of)}


def utc_now() -> str:
    """The current time as IndexMetadata.built_at spells it."""
    now = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
    return now.isoformat().replace("+00:00", "Z")


def encode_trailer(metadata: IndexMetadata, index_length: int) -> bytes:
    """The bytes to write after an encoded index of ``index_length`` bytes."""
    fields = asdict(metadata)
    fields["version"] = METADATA_VERSION
    for name in _OPTIONAL:
        if fields[name] is None:
            del fields[name]
    body = json.dumps(fields, ensure_ascii=True, sort_keys=True, separators=(",", ":")).encode(
        "ascii"
    )
    footer = b"%016x%08x%08x%04x" % (index_length, len(body), zlib.crc32(body), METADATA_VERSION)
    return body + footer + MAGIC


def parse_footer(footer: bytes, file_size: int) -> Optional[Tuple[int, int, int]]:
    """(index length, body length, checksum) from a file's last bytes.

    ``footer`` is the last FOOTER_LENGTH bytes of the file (fewer if the
    file is shorter). Returns None when the file has no trailer; raises
    MetadataError when it has one that cannot be read.
    """
    if not footer.endswith(MAGIC):
        return None
    if len(footer) < FOOTER_LENGTH:
        raise MetadataError("the metadata trailer is truncated")
    values = []
    pos = 0
    for width, what in _FIELDS:
        text = footer[pos : pos + width]
        pos += width
        try:
            if text != text.lower():
                raise ValueError
            values.append(int(text.decode("ascii"), 16))
        except ValueError:
            raise MetadataError(f"the metadata trailer is damaged (bad {what} field)") from None
    index_length, body_length, checksum, version = values
    if version != METADATA_VERSION:
        raise MetadataError(
            f"metadata version {version} is not supported (this quillomar "
            f"reads version {METADATA_VERSION})"
        )
    if index_length + body_length + FOOTER_LENGTH != file_size:
        raise MetadataError(
            "the metadata trailer does not fit the file's size (truncated or damaged)"
        )
    return index_length, body_length, checksum


_TYPES: Dict[str, Any] = {
    "normalization": str,
    "terms": int,
    "nodes": int,
    "videos": int,
    "id_mode": str,
    "built_at": str,
    "version": int,
    "writer": str,
}


def parse_body(body: bytes, checksum: int) -> IndexMetadata:
    """The metadata in a trailer's body; raises MetadataError."""
    if zlib.crc32(body) != checksum:
        raise MetadataError("the metadata trailer is damaged (checksum mismatch)")
    try:
        fields = json.loads(body.decode("ascii"))
    except (UnicodeDecodeError, ValueError):
        raise MetadataError("the metadata trailer is damaged (not JSON)") from None
    if not isinstance(fields, dict):
        raise MetadataError("the metadata trailer is damaged (not an object)")
    for name, kind in _TYPES.items():
        value = fields.get(name)
        if type(value) is not kind or (isinstance(value, int) and value < 0):
            raise MetadataError(f"the metadata trailer has no valid {name!r}")
    top_n = fields.get("top_n")
    if top_n is not None and (type(top_n) is not int or top_n < 0):
        raise MetadataError("the metadata trailer has no valid 'top_n'")
    optional: Dict[str, Any] = {}
    for name, kinds in _OPTIONAL.items():
        value = fields.get(name)
        if value is not None and (type(value) not in kinds):
            raise MetadataError(f"the metadata trailer has no valid {name!r}")
        optional[name] = value
    # Fields a later version adds are ignored; the version check above
    # keeps incompatible layouts out.
    known: Dict[str, Any] = {name: fields[name] for name in _TYPES}
    return IndexMetadata(top_n=top_n, **known, **optional)


def node_count_of(index_bytes: bytes) -> Optional[int]:
    """The node count an encoded index starts with, or None if unreadable.

    Only the first variable-length integer is read.
    """
    if not index_bytes:
        return None
    first = index_bytes[0]
    if first <= 250:
        return first
    width = {251: 2, 252: 4, 253: 8}.get(first)
    if width is None or len(index_bytes) < 1 + width:
        return None
    return int.from_bytes(index_bytes[1 : 1 + width], "little")


def tail_counts(data: bytes) -> Optional[Tuple[int, int, str]]:
    """(nodes, terms, identifier mode) read from the two ends of an encoded
    index, or None when ``data`` does not end as ``to_bytes`` output does.

    The index ends with the identifier mode, the node count in its shortest
    form and one terminal flag (0x00 or 0x01) per node; only those bytes
    are read. None means "could not tell", not "not an index".
    """
    nodes = node_count_of(data)
    if nodes is None or nodes + 2 > len(data):
        return None
    flags = data[len(data) - nodes :] if nodes else b""
    if flags.translate(None, b"\x00\x01"):
        return None
    if nodes <= 250:
        count = bytes([nodes])
    elif nodes <= 0xFFFF:
        count = b"\xfb" + nodes.to_bytes(2, "little")
    elif nodes <= 0xFFFFFFFF:
        count = b"\xfc" + nodes.to_bytes(4, "little")
    else:
        count = b"\xfd" + nodes.to_bytes(8, "little")
    start = len(data) - nodes - len(count)
    if start < 1 or data[start : start + len(count)] != count:
        return None
    mode = data[start - 1]
    if mode > 1:
        return None
    return nodes, flags.count(1), "int32" if mode == 1 else "uuid"
