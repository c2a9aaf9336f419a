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

A reader checks the last 19 bytes for the magic, then the lengths, the
checksum and the version, and finds the index as the first ``index length``
bytes and the body just before the footer. In a version 1 trailer the
body follows the index directly; version 2 leaves room between them for
sections (structures derived from the index, each starting on a
SECTION_ALIGNMENT boundary so that it can be mapped where it lies), which
the body lists with their offsets, lengths and checksums. Every byte of a trailer is
printable ASCII or a newline, while an encoded index always ends with the
byte 0x00 or 0x01 (its last field is a run of terminal flags, or the count
0 of an empty run), so a file cut anywhere inside its trailer can be told
from a file that never had one.
"""

from __future__ import annotations

import datetime
import json
import zlib
from dataclasses import asdict, dataclass, field
from typing import Any, Dict, List, Optional, Tuple

from ._format import ID_MODE_NAMES, MARKER_WIDTH, encode_varint

__all__ = [
    "FOOTER_LENGTH",
    "IndexMetadata",
    "MAGIC",
    "METADATA_VERSION",
    "MetadataError",
    "SECTION_ALIGNMENT",
    "Section",
    "check_sections",
    "encode_trailer",
    "node_count_of",
    "parse_body",
    "parse_footer",
    "recency_fields",
    "section_layout",
    "tail_counts",
    "utc_now",
]

MAGIC = b"quillomar-metadata\n"
METADATA_VERSION = 2
"""The newest trailer layout: version 1 files have no sections, version 2
files may have them. A file without sections is written as version 1, so
that readers that know only version 1 keep reading it."""

SECTION_ALIGNMENT = 4096
"""Every section starts at a multiple of this offset (the page size that
mappings of a file must start on)."""

_FIELDS = ((16, "index length"), (8, "body length"), (8, "checksum"), (4, "version"))
FOOTER_LENGTH = sum(width for width, _ in _FIELDS) + len(MAGIC)


class MetadataError(ValueError):
    """A file's metadata trailer is truncated, damaged or not ours."""


@dataclass(frozen=True)
class Section:
    """A structure stored between the index and the trailer's body."""

    name: str
    offset: int
    """Where it starts in the file, a multiple of SECTION_ALIGNMENT."""
    length: int
    checksum: int
    """CRC-32 (zlib) of its bytes."""


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
    """'int32' or 'uuid', as IndexBuilder.id_mode."""
    built_at: str
    """When the index was built, ISO 8601 in UTC (e.g. 2026-12-09T12:00:00Z)."""
    version: int = 1
    """Version of the metadata layout that stored it (2 when it lists
    sections)."""
    writer: str = ""
    """The program that wrote the file, with its version."""
    half_life: Optional[float] = None
    """Seconds in which a logged row's weight halved (None: no decay)."""
    as_of: Optional[str] = None
    """With a half-life: the time ages were measured to, ISO 8601 in UTC."""
    index_checksum: Optional[int] = None
    """CRC-32 (zlib) of the encoded index; None in files written before it
    was recorded."""
    sections: Tuple[Section, ...] = field(default=())
    """What the file holds after the index, in file order."""

    def section(self, name: str) -> Optional[Section]:
        """The section called ``name``, or None."""
        for found in self.sections:
            if found.name == name:
                return found
        return None


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
    """The body and footer to write after an encoded index of
    ``index_length`` bytes and the sections that ``metadata`` lists (the
    body goes right after the last section)."""
    version = 2 if metadata.sections else 1
    fields = asdict(metadata)
    fields["version"] = version
    if metadata.index_checksum is None:
        del fields["index_checksum"]
    if not metadata.sections:
        del fields["sections"]
    for name in _OPTIONAL:
        if fields[name] is None:
            del fields[name]
    body = json.dumps(fields, ensure_ascii=True, sort_keys=True, separators=(",", ":")).encode(
        "ascii"
    )
    footer = b"%016x%08x%08x%04x" % (index_length, len(body), zlib.crc32(body), version)
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
    if not 1 <= version <= METADATA_VERSION:
        raise MetadataError(
            f"metadata version {version} is not supported (this quillomar "
            f"reads versions 1 to {METADATA_VERSION})"
        )
    used = index_length + body_length + FOOTER_LENGTH
    if used > file_size or (version == 1 and used != file_size):
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
    except (UnicodeDecodeError, ValueError, RecursionError):
        # RecursionError: nesting deeper than the parser follows, which no
        # writer produces (the body is one flat object and a flat list).
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
    index_checksum = fields.get("index_checksum")
    if index_checksum is not None and not _is_u32(index_checksum):
        raise MetadataError("the metadata trailer has no valid 'index_checksum'")
    # Fields a later version adds are ignored; the version check in
    # parse_footer keeps incompatible layouts out.
    return IndexMetadata(
        top_n=top_n,
        index_checksum=index_checksum,
        sections=_parse_sections(fields.get("sections", [])),
        **{name: fields[name] for name in _TYPES},
        **optional,
    )


def _is_u32(value: object) -> bool:
    return type(value) is int and 0 <= value <= 0xFFFFFFFF


def _parse_sections(listed: object) -> Tuple[Section, ...]:
    bad = MetadataError("the metadata trailer has no valid 'sections'")
    if not isinstance(listed, list):
        raise bad
    sections = []
    for entry in listed:
        if not isinstance(entry, dict):
            raise bad
        name, offset, length, checksum = (
            entry.get(key) for key in ("name", "offset", "length", "checksum")
        )
        if (
            type(name) is not str
            or not name
            or type(offset) is not int
            or type(length) is not int
            or offset < 0
            or length < 0
            or not _is_u32(checksum)
        ):
            raise bad
        sections.append(Section(name, offset, length, checksum))  # type: ignore[arg-type]
    return tuple(sections)


def check_sections(metadata: IndexMetadata, index_length: int, body_offset: int) -> None:
    """Raise MetadataError unless the listed sections lie, aligned, in file
    order and without overlapping, between the index's end and the body."""
    names = set()
    end = index_length
    for section in metadata.sections:
        if section.name in names:
            raise MetadataError(f"the metadata trailer lists section {section.name!r} twice")
        names.add(section.name)
        if section.offset % SECTION_ALIGNMENT or section.offset < end:
            raise MetadataError(f"section {section.name!r} is misplaced (damaged trailer)")
        end = section.offset + section.length
    if end > body_offset or (not metadata.sections and body_offset != index_length):
        raise MetadataError(
            "the metadata trailer does not fit the file's size (truncated or damaged)"
        )


def section_layout(index_length: int, lengths: List[int]) -> Tuple[List[int], int]:
    """Offsets for sections of the given lengths placed after an index of
    ``index_length`` bytes, and where the body then starts."""
    offsets = []
    end = index_length
    for length in lengths:
        start = -(-end // SECTION_ALIGNMENT) * SECTION_ALIGNMENT
        offsets.append(start)
        end = start + length
    return offsets, end


def node_count_of(index_bytes: bytes) -> Optional[int]:
    """The node count an encoded index starts with, or None if unreadable.

    Only the first variable-length integer is read.
    """
    if not index_bytes:
        return None
    first = index_bytes[0]
    if first <= 250:
        return first
    width = MARKER_WIDTH.get(first)
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
    count = encode_varint(nodes)
    start = len(data) - nodes - len(count)
    if start < 1 or data[start : start + len(count)] != count:
        return None
    mode = data[start - 1]
    if mode > 1:
        return None
    return nodes, flags.count(1), ID_MODE_NAMES[mode]
