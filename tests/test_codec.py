"""The stored index format: exact bytes, every decode error, hostile input."""

import resource
import struct

import pytest

from _quillomar import PrefixSearch
from trie_bytes import ID_MODE_INT32, OPTION_PAYLOAD, TrieData, encode, varint

# The two-node example: root (no label, not terminal) with one terminal child
# "a"; both payloads (5, [0], [5]); one video with the 32-bit identifier 300.
EXAMPLE = TrieData(
    node_shifts=[0, 1],
    child_labels=[0, ord("a")],
    child_transitions=[1],
    payloads=[(5, [0], [5]), (5, [0], [5])],
    int32_ids=[300],
    id_mode=ID_MODE_INT32,
    is_terminal=[False, True],
)
EXAMPLE_BYTES = bytes.fromhex("0200010200610101020105010001050105010001050001fb2c0101020001")


def roundtrip(data: bytes) -> bytes:
    return PrefixSearch.from_bytes(data).to_bytes()


def decode_error(data: bytes) -> str:
    with pytest.raises(ValueError) as info:
        PrefixSearch.from_bytes(data)
    text = str(info.value)
    assert text.startswith("decode error: ")
    return text[len("decode error: ") :]


def test_worked_example_decodes_and_reencodes_byte_for_byte():
    assert len(EXAMPLE_BYTES) == 30
    assert encode(EXAMPLE) == EXAMPLE_BYTES
    assert roundtrip(EXAMPLE_BYTES) == EXAMPLE_BYTES


def test_worked_example_built_from_arrays_encodes_to_the_same_bytes():
    index = PrefixSearch.from_internal_data_v2(
        [0, 1],
        ["", "a"],
        [None, (5, [0], [5])],
        [1],
        [struct.pack("<I", 300)],
        10,
    )
    assert index.to_bytes() == EXAMPLE_BYTES


def test_empty_index_is_eight_zero_bytes():
    assert encode(TrieData()) == bytes(8)
    assert roundtrip(bytes(8)) == bytes(8)


@pytest.mark.parametrize(
    "value, form",
    [
        (0, "00"),
        (250, "fa"),
        (251, "fbfb00"),
        (65535, "fbffff"),
        (65536, "fc00000100"),
        (4294967295, "fcffffffff"),
    ],
)
def test_integer_forms_are_shortest_and_roundtrip(value, form):
    # The value goes through every u32 position: shift, slot, total, id,
    # count and int32 identifier; and the label count uses the count form.
    t = TrieData(
        node_shifts=[value],
        child_transitions=[value],
        payloads=[(value, [value], [value])],
        int32_ids=[value],
        id_mode=ID_MODE_INT32,
    )
    data = encode(t)
    assert varint(value).hex() == form
    assert data.count(bytes.fromhex(form)) >= 6
    assert roundtrip(data) == data


@pytest.mark.parametrize(
    "longer, shortest",
    [
        # node_shifts = [5] with the element, then the count, in longer forms
        ("01fb0500", "0105"),
        ("01fc05000000", "0105"),
        ("fb010005", "0105"),
        ("fc0100000005", "0105"),
        ("fd010000000000000005", "0105"),
    ],
)
def test_longer_integer_forms_are_accepted(longer, shortest):
    tail = bytes(7)
    assert roundtrip(bytes.fromhex(longer) + tail) == bytes.fromhex(shortest) + tail


def test_id_mode_in_a_longer_form_is_accepted():
    assert roundtrip(bytes(6) + b"\xfb\x01\x00" + b"\x00") == bytes(6) + b"\x01\x00"


def test_trailing_bytes_are_ignored():
    assert roundtrip(EXAMPLE_BYTES + b"\xff\x00garbage") == EXAMPLE_BYTES
    assert roundtrip(bytes(8) + bytes(100)) == bytes(8)


def test_absent_payloads_and_unequal_lists_decode_and_reencode():
    t = TrieData(
        node_shifts=[0, 0, 0],
        child_labels=[0, 0x1F600, 0xE9],
        payloads=[None, (7, [1, 2, 3], [9]), (0, [], [4, 4])],
        uuid_ids=[bytes(range(16)), b"\xff" * 16],
        int32_ids=[70000],
        is_terminal=[True],
    )
    data = encode(t)
    assert roundtrip(data) == data


PAYLOAD_TAG = f'UnexpectedVariant {{ type_name: "{OPTION_PAYLOAD}", '
ID_MODE = 'UnexpectedVariant { type_name: "IdMode", '
RANGE = "allowed: Range { min: 0, max: 1 }, "


@pytest.mark.parametrize(
    "data, text",
    [
        (b"", "UnexpectedEnd { additional: 1 }"),
        # counts (64-bit form) cut short after their marker
        (b"\xfb\x01", "UnexpectedEnd { additional: 1 }"),
        (b"\xfc", "UnexpectedEnd { additional: 4 }"),
        (b"\xfd\x00\x00", "UnexpectedEnd { additional: 6 }"),
        (b"\xfe", "InvalidIntegerType { expected: U64, found: U128 }"),
        (b"\xff", "InvalidIntegerType { expected: U64, found: Reserved }"),
        (bytes.fromhex("fd0000000001000000"), "OutsideUsizeRange(4294967296)"),
        (b"\xfd" + b"\xff" * 8, "OutsideUsizeRange(18446744073709551615)"),
        # u32 elements (node_shifts)
        (b"\x01\xfd" + bytes(8), "InvalidIntegerType { expected: U32, found: U64 }"),
        (b"\x01\xfe", "InvalidIntegerType { expected: U32, found: U128 }"),
        (b"\x01\xff", "InvalidIntegerType { expected: U32, found: Reserved }"),
        (b"\x01\xfc\x01\x02", "UnexpectedEnd { additional: 2 }"),
        (b"\x05\x01\x02\x03\x04", "UnexpectedEnd { additional: 1 }"),
        # labels
        (b"\x00\x01\xed\xa0\x80", "InvalidCharEncoding([237, 160, 128, 0])"),
        (b"\x00\x01\x80", "InvalidCharEncoding([128, 0, 0, 0])"),
        (b"\x00\x01\xc1\xbf", "InvalidCharEncoding([193, 0, 0, 0])"),
        (b"\x00\x01\xf5", "InvalidCharEncoding([245, 0, 0, 0])"),
        (b"\x00\x01\xe0\x80\x80", "InvalidCharEncoding([224, 128, 128, 0])"),
        (b"\x00\x01\xf4\x90\x80\x80", "InvalidCharEncoding([244, 144, 128, 128])"),
        (b"\x00\x01\xc3\x28", "InvalidCharEncoding([195, 40, 0, 0])"),
        (b"\x00\x01\xe2\x82", "UnexpectedEnd { additional: 1 }"),
        (b"\x00\x01\xf0", "UnexpectedEnd { additional: 3 }"),
        # length is checked before validity: a bad continuation cut short
        (b"\x00\x01\xf0\x00", "UnexpectedEnd { additional: 2 }"),
        # payloads
        (b"\x00\x00\x00\x01\x02", PAYLOAD_TAG + RANGE + "found: 2 }"),
        (b"\x00\x00\x00\x01\xff", PAYLOAD_TAG + RANGE + "found: 255 }"),
        (b"\x00\x00\x00\x01\x01", "UnexpectedEnd { additional: 1 }"),
        (b"\x00\x00\x00\x01\x01\x05\x02\x01", "UnexpectedEnd { additional: 1 }"),
        # uuids: 16 - r, also with no byte left
        (bytes(4) + b"\x01", "UnexpectedEnd { additional: 16 }"),
        (bytes(4) + b"\x01" + bytes(3), "UnexpectedEnd { additional: 13 }"),
        (bytes(4) + b"\x02" + bytes(17), "UnexpectedEnd { additional: 15 }"),
        # id_mode
        (bytes(6) + b"\x02", ID_MODE + RANGE + "found: 2 }"),
        (bytes(6) + b"\xfc\x00\x00\x01\x00", ID_MODE + RANGE + "found: 65536 }"),
        (bytes(6) + b"\xfd", "InvalidIntegerType { expected: U32, found: U64 }"),
        (bytes(6), "UnexpectedEnd { additional: 1 }"),
        # is_terminal
        (bytes(7) + b"\x01\x02", "InvalidBooleanValue(2)"),
        (bytes(7) + b"\x03\x01\x00", "UnexpectedEnd { additional: 1 }"),
        (bytes(7) + b"\x05\x01\x00\xff", "InvalidBooleanValue(255)"),
    ],
)
def test_decode_errors_have_exact_texts(data, text):
    assert decode_error(data) == text


@pytest.mark.parametrize(
    "prefix",
    [
        b"",  # node_shifts
        b"\x00",  # child_labels
        b"\x00\x00",  # child_transitions
        b"\x00\x00\x00",  # payloads
        b"\x00\x00\x00\x01\x01\x00",  # video_ids of one payload
        b"\x00\x00\x00\x01\x01\x00\x00",  # video_counts of one payload
        b"\x00" * 4,  # uuid_ids
        b"\x00" * 5,  # int32_ids
        b"\x00" * 7,  # is_terminal
    ],
)
def test_huge_declared_counts_fail_fast_without_reserving_them(prefix):
    # Four billion elements announced, three bytes present: storage for the
    # announced count (16 GB or more) would show in the resident size.
    data = prefix + b"\xfc\xff\xff\xff\xff" + b"\x00\x00\x00"
    before = _rss_kib()
    text = decode_error(data)
    assert text in ("UnexpectedEnd { additional: 1 }", "UnexpectedEnd { additional: 13 }")
    assert _rss_kib() - before < 64 * 1024


def _rss_kib() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize() // 1024


def _large_index() -> tuple:
    """An index whose arrays run to megabytes (past the sizes at which decoded
    storage changes how it is obtained), with one node whose lists differ in
    length, and the offsets of a few of its bytes."""
    n = 600_000
    ids = [(i * 7919) % 300_000 for i in range(n)]  # 1-, 3- and 5-byte forms
    ids[-1] = 0xFFFFFFFF
    counts = [i % 251 for i in range(n + 1)]
    head = varint(n) + bytes(n) + varint(n) + b"a" * n + varint(0) + varint(n)
    first = b"\x01" + varint(9) + varint(n) + b"".join(varint(v) for v in ids)
    last_id = len(head) + len(first) - 5
    first += varint(n + 1) + b"".join(varint(v) for v in counts)
    rest = b"\x01\x05\x01\x02\x01\x03" * (n - 2)
    tail_tag = len(head) + len(first) + len(rest)
    rest += b"\x00" + varint(0) + varint(0) + b"\x01" + varint(n) + b"\x01\x00" * (n // 2)
    return head + first + rest, {"last_id": last_id, "tail_tag": tail_tag}


def test_megabyte_arrays_decode_and_reencode_byte_for_byte():
    data, _ = _large_index()
    assert roundtrip(data) == data


@pytest.mark.parametrize(
    "damage, text",
    [
        (lambda d, at: d[: at["last_id"] + 1], "UnexpectedEnd { additional: 4 }"),
        (lambda d, at: d[: at["last_id"] + 5], "UnexpectedEnd { additional: 1 }"),
        (
            lambda d, at: d[: at["last_id"]] + b"\xfd" + d[at["last_id"] + 1 :],
            "InvalidIntegerType { expected: U32, found: U64 }",
        ),
        (
            lambda d, at: d[: at["tail_tag"]] + b"\x02" + d[at["tail_tag"] + 1 :],
            PAYLOAD_TAG + RANGE + "found: 2 }",
        ),
        (lambda d, at: d[:-1], "UnexpectedEnd { additional: 1 }"),
        (lambda d, at: d[:-2] + b"\x07\x00", "InvalidBooleanValue(7)"),
    ],
)
def test_damage_after_megabytes_is_reported_exactly(damage, text):
    data, at = _large_index()
    assert decode_error(damage(data, at)) == text
