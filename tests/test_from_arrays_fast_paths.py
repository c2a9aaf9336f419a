"""Fast input paths (exact lists and tuples, integer and unicode buffers,
bytes entries) give the same index and the same errors as the general
sequence rule applied to plain Python objects."""

import array

import numpy as np
import pytest

from _quillomar import PrefixSearch

build = PrefixSearch.from_internal_data_v2


class Generic:
    """A sequence that only the general path can read (no buffer, not a
    list or tuple): items are handed out as stored."""

    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


def outcome(*args):
    try:
        return ("ok", build(*args).to_bytes())
    except BaseException as e:  # noqa: BLE001 - comparing any failure
        return (type(e), str(e))


# A small trie: root -> a, b; a -> c. Children after parents.
SHIFTS = [0, 2, 3, 3]
LABELS = ["", "a", "b", "c"]
SLOTS = [1, 2, 3]
PAYLOADS = [None, (4, [1, 0], [3, 1]), (2, [0], [2]), (9, [2, 1, 1], [4, 4, 1])]
VIDEOS = [b"\1\0\0\0", b"\2\0\0\0", b"\3\0\0\0"]
REFERENCE = build(SHIFTS, LABELS, PAYLOADS, SLOTS, VIDEOS, 2).to_bytes()

INT_DTYPES = ["u1", "i1", "u2", "i2", "u4", "i4", "u8", "i8", ">u4", ">i8", "<u2"]


@pytest.mark.parametrize("dtype", INT_DTYPES)
def test_numpy_integer_arrays_build_the_same_index(dtype):
    shifts = np.array(SHIFTS, dtype=dtype)
    slots = np.array(SLOTS, dtype=dtype)
    assert build(shifts, LABELS, PAYLOADS, slots, VIDEOS, 2).to_bytes() == REFERENCE
    payloads = [None] + [
        (t, np.array(i, dtype=dtype), np.array(c, dtype=dtype)) for t, i, c in PAYLOADS[1:]
    ]
    assert build(SHIFTS, LABELS, payloads, SLOTS, VIDEOS, 2).to_bytes() == REFERENCE


@pytest.mark.parametrize(
    "make",
    [
        tuple,
        Generic,
        lambda v: array.array("I", v),
        lambda v: array.array("q", v),
        lambda v: memoryview(array.array("H", v)),
        bytes,
        bytearray,
        lambda v: np.array([x for y in v for x in (y, 77)], dtype=np.uint32)[::2],
        lambda v: np.array(v, dtype=np.uint64).view(np.uint32)[::2],
    ],
)
def test_other_sequences_build_the_same_index(make):
    args = (make(SHIFTS), make(LABELS) if make in (tuple, Generic) else LABELS)
    got = build(*args, PAYLOADS, make(SLOTS), VIDEOS, 2).to_bytes()
    assert got == REFERENCE


def test_numpy_unicode_labels_build_the_same_index():
    for labels in (
        np.array(LABELS, dtype="<U1"),
        np.array(["", "ax", "b\0", "c\U0001f600"], dtype="<U3"),
        np.array(["", "a", "b", "c", "z"], dtype="U2")[:4],
        np.array(["", "q", "a", "q", "b", "q", "c"], dtype="U1")[::2],
    ):
        assert build(SHIFTS, labels, PAYLOADS, SLOTS, VIDEOS, 2).to_bytes() == REFERENCE
    ucs = ["\0a", "é", "\U0010ffff", "\uffff"]
    expected = build([0] * 4, ucs, [None] * 4, [], [], 1).to_bytes()
    assert build([0] * 4, np.array(ucs), [None] * 4, [], [], 1).to_bytes() == expected


@pytest.mark.parametrize(
    "values",
    [
        np.array([0, -1], dtype=np.int64),
        np.array([0, -1], dtype=np.int8),
        np.array([0, 2**32], dtype=np.uint64),
        np.array([0, 2**40], dtype=np.int64),
        np.array([0, 1.0]),
        np.array([0, 1], dtype=bool),
        np.array([[0, 1]], dtype=np.uint32),
        np.array([0, -1], dtype=object),
    ],
)
@pytest.mark.parametrize("position", [0, 3])
def test_numpy_errors_match_the_general_path(values, position):
    def args(arr):
        a = [[0, 0], ["", "a"], [None, None], [1], [], 1]
        a[position] = arr
        return a

    fast = outcome(*args(values))
    slow = outcome(*args(Generic(list(values))))
    assert fast == slow
    assert fast[0] != "ok"


def test_numpy_errors_in_payload_lists_match_and_have_no_prefix():
    bad = np.array([0, -1], dtype=np.int32)
    fast = outcome([0], [""], [(1, bad, [1, 1])], [], [], 1)
    slow = outcome([0], [""], [(1, Generic(list(bad)), [1, 1])], [], [], 1)
    assert fast == slow == (OverflowError, "can't convert negative int to unsigned")


@pytest.mark.parametrize(
    "labels",
    [
        np.array(["a", "\ud800"]),
        np.array(["", "x\udfff"]),
        np.array(["a", "b"], dtype=">U1"),
        np.frombuffer(np.array([0x61, 0x110000], dtype=np.uint32).tobytes(), dtype="<U1"),
        np.array([b"a", b"b"]),
        np.array([1, 2], dtype=np.uint32),
        np.array([["a", "b"]]),
    ],
)
def test_unusual_label_arrays_match_the_general_path(labels):
    fast = outcome([0, 0], labels, [None, None], [], [], 1)
    try:
        items = list(labels)
    except BaseException as e:  # noqa: BLE001 - iteration itself fails
        assert fast == (type(e), str(e))
    else:
        assert fast == outcome([0, 0], Generic(items), [None, None], [], [], 1)


@pytest.mark.parametrize(
    "video_index",
    [
        [b"\1\0\0\0", b"\2\0\0\0", b"\3\0\0\0"],
        (b"\1\0\0\0", bytearray(b"\2\0\0\0"), [3, 0, 0, 0]),
        Generic([Generic([1, 0, 0, 0]), (2, 0, 0, 0), memoryview(b"\3\0\0\0")]),
        np.array([[1, 0, 0, 0], [2, 0, 0, 0], [3, 0, 0, 0]], dtype=np.uint8),
    ],
)
def test_video_index_forms_build_the_same_index(video_index):
    got = build(SHIFTS, LABELS, PAYLOADS, SLOTS, video_index, 2).to_bytes()
    assert got == REFERENCE


def test_bytes_subclass_entries_are_read_as_sequences():
    class Reversed(bytes):
        def __iter__(self):
            return iter(reversed(list(bytes(self))))

    got = build([0], [""], [None], [], [Reversed(b"\1\2\3\4")], 1).to_bytes()
    want = build([0], [""], [None], [], [b"\4\3\2\1"], 1).to_bytes()
    assert got == want


def test_list_mutated_during_conversion_matches_iteration():
    class Shrinker:
        def __init__(self, target):
            self.target = target

        def __index__(self):
            del self.target[1:]
            return 0

    lst = [0, 0, 0]
    lst[0] = Shrinker(lst)
    gen_src = [0, 0, 0]
    gen_src[0] = Shrinker(gen_src)
    fast = outcome(lst, ["", "a", "b"], [None] * 3, [], [], 1)
    slow = outcome(iter_seq(gen_src), ["", "a", "b"], [None] * 3, [], [], 1)
    assert fast == slow == (ValueError, "node_shifts len 1 != child_labels len 3")


class iter_seq:  # noqa: N801 - a plain sequence read through iteration
    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        return iter(self.items)
