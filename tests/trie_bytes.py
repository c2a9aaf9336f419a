"""A slow, obvious pure-Python model of the stored index format
(docs/format.md).

Used by the tests as a reference: `encode` writes the bytes an index must
encode to, `decode` reads bytes back or raises `DecodeFailure` with the exact
error text the extension must report after "decode error: ".
"""

from __future__ import annotations

import struct
from dataclasses import dataclass, field
from typing import List, Optional, Tuple

Payload = Tuple[int, List[int], List[int]]  # total_count, video_ids, counts

ID_MODE_UUID = 0
ID_MODE_INT32 = 1

OPTION_PAYLOAD = "core::option::Option<quillomar::payload::Payload>"


@dataclass
class TrieData:
    node_shifts: List[int] = field(default_factory=list)
    child_labels: List[int] = field(default_factory=list)  # code points
    child_transitions: List[int] = field(default_factory=list)
    payloads: List[Optional[Payload]] = field(default_factory=list)
    uuid_ids: List[bytes] = field(default_factory=list)
    int32_ids: List[int] = field(default_factory=list)
    id_mode: int = ID_MODE_UUID
    is_terminal: List[bool] = field(default_factory=list)

    def label_texts(self) -> List[str]:
        """Each label as a one-character string ("\\0" for no label)."""
        return [chr(c) for c in self.child_labels]

    def lists(self) -> List[Optional[List[Tuple[int, int]]]]:
        """Each node's (video, count) pairs, None where the payload is absent."""
        return [None if p is None else list(zip(p[1], p[2])) for p in self.payloads]

    def totals(self) -> List[Optional[int]]:
        return [None if p is None else p[0] for p in self.payloads]


# --- Encoding ---------------------------------------------------------------


def varint(value: int) -> bytes:
    """Shortest variable-length form of an unsigned value below 2**64."""
    if value <= 250:
        return bytes([value])
    if value <= 0xFFFF:
        return b"\xfb" + struct.pack("<H", value)
    if value <= 0xFFFFFFFF:
        return b"\xfc" + struct.pack("<I", value)
    return b"\xfd" + struct.pack("<Q", value)


def _u32_seq(values: List[int]) -> bytes:
    return varint(len(values)) + b"".join(varint(v) for v in values)


def encode(t: TrieData) -> bytes:
    out = [_u32_seq(t.node_shifts)]
    out.append(varint(len(t.child_labels)))
    out += [chr(c).encode("utf-8") for c in t.child_labels]
    out.append(_u32_seq(t.child_transitions))
    out.append(varint(len(t.payloads)))
    for p in t.payloads:
        if p is None:
            out.append(b"\x00")
        else:
            total, ids, counts = p
            out += [b"\x01", varint(total), _u32_seq(ids), _u32_seq(counts)]
    out.append(varint(len(t.uuid_ids)))
    out += t.uuid_ids
    out.append(_u32_seq(t.int32_ids))
    out.append(bytes([t.id_mode]))
    out.append(varint(len(t.is_terminal)))
    out += [b"\x01" if b else b"\x00" for b in t.is_terminal]
    return b"".join(out)


# --- Decoding ---------------------------------------------------------------


class DecodeFailure(Exception):
    """Carries the error text, e.g. 'UnexpectedEnd { additional: 1 }'."""


class _Reader:
    def __init__(self, data: bytes) -> None:
        self.data = data
        self.pos = 0

    def _need(self, n: int) -> None:
        left = len(self.data) - self.pos
        if left < n:
            raise DecodeFailure(f"UnexpectedEnd {{ additional: {n - left} }}")

    def _take(self, n: int) -> bytes:
        self._need(n)
        chunk = self.data[self.pos : self.pos + n]
        self.pos += n
        return chunk

    def byte(self) -> int:
        return self._take(1)[0]

    def _varint(self, expected: str) -> int:
        self._need(1)
        first = self.data[self.pos]
        if first <= 250:
            self.pos += 1
            return first
        names = {253: "U64", 254: "U128", 255: "Reserved"}
        if first >= 254 or (first == 253 and expected == "U32"):
            raise DecodeFailure(
                f"InvalidIntegerType {{ expected: {expected}, found: {names[first]} }}"
            )
        width = {251: 2, 252: 4, 253: 8}[first]
        raw = self._take(1 + width)[1:]
        return int.from_bytes(raw, "little")

    def u32(self) -> int:
        return self._varint("U32")

    def count(self) -> int:
        n = self._varint("U64")
        if n >= 2**32:
            raise DecodeFailure(f"OutsideUsizeRange({n})")
        return n

    def code_point(self) -> int:
        self._need(1)
        first = self.data[self.pos]
        if first <= 0x7F:
            width = 1
        elif 0xC2 <= first <= 0xDF:
            width = 2
        elif 0xE0 <= first <= 0xEF:
            width = 3
        elif 0xF0 <= first <= 0xF4:
            width = 4
        else:
            raise DecodeFailure(f"InvalidCharEncoding([{first}, 0, 0, 0])")
        raw = self._take(width)
        try:
            text = raw.decode("utf-8")
        except UnicodeDecodeError:
            four = list(raw) + [0] * (4 - width)
            raise DecodeFailure(
                "InvalidCharEncoding([" + ", ".join(map(str, four)) + "])"
            ) from None
        assert len(text) == 1
        return ord(text)

    def boolean(self) -> bool:
        b = self.byte()
        if b > 1:
            raise DecodeFailure(f"InvalidBooleanValue({b})")
        return b == 1

    def variant_error(self, type_name: str, found: int) -> DecodeFailure:
        return DecodeFailure(
            f'UnexpectedVariant {{ type_name: "{type_name}", '
            f"allowed: Range {{ min: 0, max: 1 }}, found: {found} }}"
        )


def decode(data: bytes) -> TrieData:
    r = _Reader(data)
    t = TrieData()
    t.node_shifts = [r.u32() for _ in range(r.count())]
    t.child_labels = [r.code_point() for _ in range(r.count())]
    t.child_transitions = [r.u32() for _ in range(r.count())]
    for _ in range(r.count()):
        tag = r.byte()
        if tag == 0:
            t.payloads.append(None)
        elif tag == 1:
            total = r.u32()
            ids = [r.u32() for _ in range(r.count())]
            counts = [r.u32() for _ in range(r.count())]
            t.payloads.append((total, ids, counts))
        else:
            raise r.variant_error(OPTION_PAYLOAD, tag)
    t.uuid_ids = [r._take(16) for _ in range(r.count())]
    t.int32_ids = [r.u32() for _ in range(r.count())]
    t.id_mode = r.u32()
    if t.id_mode > 1:
        raise r.variant_error("IdMode", t.id_mode)
    t.is_terminal = [r.boolean() for _ in range(r.count())]
    return t
