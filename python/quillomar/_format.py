"""A summary of a stored index, read from the bytes ``to_bytes`` writes.

The extension exposes no counts, so ``quillomar info`` reads them from the
stored form itself, whose layout docs/format.md describes.

This reader walks the whole string once; it checks the format as far as it
needs to and raises FormatError where the bytes end early or hold something
the format does not allow.
"""

from __future__ import annotations

from typing import Callable, NamedTuple, Optional, Tuple

from ._validation import INT32, UUID

__all__ = [
    "ID_MODE_NAMES",
    "MARKER_WIDTH",
    "FormatError",
    "IndexSummary",
    "encode_varint",
    "summarize",
]

MARKER_WIDTH = {251: 2, 252: 4, 253: 8}
"""Variable-length integers: a first byte up to 250 is the value itself;
251, 252 and 253 mark a 2-, 4- or 8-byte little-endian value after them."""

ID_MODE_NAMES = (UUID, INT32)
"""The identifier mode's name by its stored value."""

Progress = Callable[[int, int], None]


class FormatError(ValueError):
    pass


class IndexSummary(NamedTuple):
    size: int
    """Length of the stored form in bytes."""
    nodes: int
    terms: int
    """Nodes flagged as the end of a term."""
    videos: int
    """Entries of the identifier table in use."""
    id_mode: str
    """'int32' or 'uuid', as IndexBuilder.id_mode."""
    child_slots: int
    longest_video_list: int
    """Most videos stored at one node (at most the build's top_n)."""
    consistent: bool
    """Whether the per-node fields all have one entry per node."""
    trailing_bytes: int
    """Bytes after the end of the index (to_bytes writes none)."""


class _Reader:
    __slots__ = ("data", "pos")

    def __init__(self, data: bytes) -> None:
        self.data = data
        self.pos = 0

    def _need(self, n: int) -> None:
        if self.pos + n > len(self.data):
            raise FormatError(
                f"the index ends early: {self.pos + n - len(self.data)} more "
                f"byte(s) needed at offset {self.pos}"
            )

    def byte(self) -> int:
        self._need(1)
        value = self.data[self.pos]
        self.pos += 1
        return value

    def varint(self, wide: bool = False) -> int:
        first = self.byte()
        if first <= 250:
            return first
        width = _marker_width(first, self.pos - 1, wide)
        self._need(width)
        value = int.from_bytes(self.data[self.pos : self.pos + width], "little")
        self.pos += width
        return value

    def count(self) -> int:
        value = self.varint(wide=True)
        if value > 0xFFFFFFFF:
            raise FormatError(f"sequence count {value} is too large")
        return value

    def skip_varints(self, n: int) -> None:
        # Fast path: n bytes that are all single-byte numbers.
        end = self.pos + n
        if end <= len(self.data) and (n == 0 or max(self.data[self.pos : end]) <= 250):
            self.pos = end
            return
        for _ in range(n):
            self.varint()

    def skip_chars(self, n: int) -> None:
        end = self.pos + n
        if end <= len(self.data) and (n == 0 or max(self.data[self.pos : end]) < 0x80):
            self.pos = end
            return
        for _ in range(n):
            lead = self.byte()
            if lead < 0x80:
                continue
            if 0xC2 <= lead <= 0xDF:
                width = 1
            elif 0xE0 <= lead <= 0xEF:
                width = 2
            elif 0xF0 <= lead <= 0xF4:
                width = 3
            else:
                raise FormatError(f"invalid label byte {lead} at offset {self.pos - 1}")
            self._need(width)
            self.pos += width


def _skip_payloads(
    data: bytes, pos: int, count: int, progress: Optional[Progress] = None
) -> Tuple[int, int]:
    """Skip ``count`` optional payload records from ``pos``.

    Returns (position after them, longest video list). One flat loop with
    the one-byte number form inlined: this is where a large index spends
    nearly all of its bytes.
    """
    size = len(data)
    longest = 0
    try:
        for index in range(count):
            if progress is not None and not index & 0xFFFF:
                progress(pos, size)
            tag = data[pos]
            if tag == 0:
                pos += 1
                continue
            if tag != 1:
                raise FormatError(f"invalid payload tag {tag} at offset {pos}")
            pos += 1
            # total count, then two sequences (count, then elements)
            first = data[pos]
            pos += 1 if first <= 250 else 1 + _marker_width(first, pos)
            for _list in (0, 1):
                n = data[pos]
                if n <= 250:
                    pos += 1
                else:
                    width = _marker_width(n, pos, wide=True)
                    n = int.from_bytes(data[pos + 1 : pos + 1 + width], "little")
                    pos += 1 + width
                if _list == 0 and n > longest:
                    longest = n
                end = pos + n
                if n and end <= size and max(data[pos:end]) <= 250:
                    pos = end
                    continue
                for _ in range(n):
                    first = data[pos]
                    pos += 1 if first <= 250 else 1 + _marker_width(first, pos)
    except IndexError:
        raise FormatError("the index ends early inside the video lists") from None
    if pos > size:
        raise FormatError("the index ends early inside the video lists")
    return pos, longest


def encode_varint(value: int) -> bytes:
    """The shortest variable-length form of ``value`` (0..2**64 - 1)."""
    if value <= 250:
        return bytes([value])
    for marker, width in MARKER_WIDTH.items():
        if value < 1 << (8 * width):
            return bytes([marker]) + value.to_bytes(width, "little")
    raise OverflowError(f"{value} does not fit in 64 bits")


def _marker_width(marker: int, pos: int, wide: bool = False) -> int:
    width = MARKER_WIDTH.get(marker)
    if width is None or (width == 8 and not wide):
        raise FormatError(f"invalid number marker {marker} at offset {pos}")
    return width


def summarize(data: bytes, progress: Optional[Progress] = None) -> IndexSummary:
    """Read the counts of a stored index. Raises FormatError.

    Takes time in proportion to the size (roughly 2 microseconds per trie
    node: some 20 seconds for ten million nodes); ``progress`` is called now
    and then with (bytes read, total bytes).
    """
    r = _Reader(data)
    nodes = r.count()
    r.skip_varints(nodes)
    labels = r.count()
    r.skip_chars(labels)
    slots = r.count()
    r.skip_varints(slots)
    payloads = r.count()
    r.pos, longest = _skip_payloads(data, r.pos, payloads, progress)
    uuids = r.count()
    r._need(16 * uuids)
    r.pos += 16 * uuids
    ints = r.count()
    r.skip_varints(ints)
    mode = r.varint()
    if mode > 1:
        raise FormatError(f"invalid identifier mode {mode}")
    flags = r.count()
    r._need(flags)
    flag_bytes = data[r.pos : r.pos + flags]
    if flag_bytes.translate(None, b"\x00\x01"):
        raise FormatError("invalid terminal flag")
    r.pos += flags
    return IndexSummary(
        size=len(data),
        nodes=nodes,
        terms=flag_bytes.count(1),
        videos=ints if mode == 1 else uuids,
        id_mode=ID_MODE_NAMES[mode],
        child_slots=slots,
        longest_video_list=longest,
        consistent=nodes == labels == payloads == flags,
        trailing_bytes=len(data) - r.pos,
    )
