"""Building an index from flat arrays: conversions, validations and their
order, labels, terminal flags, payload conversion and identifier tables."""

import pytest

from _quillomar import PrefixSearch
from trie_bytes import decode

build = PrefixSearch.from_internal_data_v2


def built(*args):
    return decode(build(*args).to_bytes())


# A valid two-node index: the root and one child 'a' with a payload.
GOOD = dict(
    node_shifts=[0, 1],
    child_labels=["", "a"],
    payloads=[None, (5, [0], [5])],
    child_transitions=[1],
    video_index=[b"\x07\x00\x00\x00"],
    video_top_n=10,
)


def call(**changes):
    return build(**{**GOOD, **changes})


def test_two_node_example():
    idx = built(*GOOD.values())
    assert idx.node_shifts == [0, 1]
    assert idx.label_texts() == ["\0", "a"]
    assert idx.child_transitions == [1]
    assert idx.is_terminal == [False, True]
    assert idx.id_mode == 1 and idx.int32_ids == [7] and idx.uuid_ids == []
    assert idx.payloads == [(5, [0], [5]), (5, [0], [5])]


def test_empty_index():
    idx = built([], [], [], [], [], 0)
    assert idx.node_shifts == [] and idx.payloads == [] and idx.id_mode == 0
    assert build([], [], [], [], [], 0).to_bytes() == bytes(8)


@pytest.mark.parametrize(
    "changes, exc, message",
    [
        (dict(node_shifts=[0]), ValueError, "node_shifts len 1 != child_labels len 2"),
        (dict(payloads=[None]), ValueError, "payloads len 1 != child_labels len 2"),
        (
            dict(child_transitions=[1, 2, 7]),
            ValueError,
            "child_transitions[1] = 2 out of range [0..2)",
        ),
        # The slot range of node 0 would end beyond the one slot there is.
        (
            dict(node_shifts=[0, 2]),
            ValueError,
            "node_shifts[1] = 2 out of range [0..1]",
        ),
        (
            dict(payloads=[None, [5, [0], [5]]]),
            TypeError,
            "'list' object cannot be converted to 'PyTuple'",
        ),
        (dict(payloads=[None, (5, [0])]), ValueError, "Payload tuple must have 3 elements"),
        (
            dict(payloads=[None, (5, [0], [5], 1)]),
            ValueError,
            "Payload tuple must have 3 elements",
        ),
        (
            dict(payloads=[None, (5, [0, 1], [5])]),
            ValueError,
            "video_ids and video_counts length mismatch",
        ),
        (
            dict(payloads=[None, ("5", [0], [5])]),
            TypeError,
            "'str' object cannot be interpreted as an integer",
        ),
        (dict(payloads=[None, (5, "ab", [5])]), TypeError, "Can't extract `str` to `Vec`"),
        (dict(payloads=[None, (5, [0], "a")]), TypeError, "Can't extract `str` to `Vec`"),
        (
            dict(payloads=[None, (5, 0, [5])]),
            TypeError,
            "'int' object cannot be converted to 'Sequence'",
        ),
        (
            dict(payloads=[None, (5, [-1], [5])]),
            OverflowError,
            "can't convert negative int to unsigned",
        ),
        (
            dict(payloads=[None, (2**32, [0], [5])]),
            OverflowError,
            "out of range integral type conversion attempted",
        ),
        (
            dict(video_index=[b"\1\0\0\0", bytes(16)]),
            ValueError,
            "video_index entries must be all 16 bytes (UUID) or all 4 bytes (int32)",
        ),
        (
            dict(video_index=[bytes(8)]),
            ValueError,
            "video_index entries must be all 16 bytes (UUID) or all 4 bytes (int32)",
        ),
    ],
)
def test_validation_messages(changes, exc, message):
    with pytest.raises(exc) as info:
        call(**changes)
    assert type(info.value) is exc
    assert str(info.value) == message


@pytest.mark.parametrize(
    "changes, message",
    [
        # Conversion before any check, in parameter order.
        (
            dict(node_shifts=[0], video_top_n=None),
            "argument 'video_top_n': 'NoneType' object cannot be interpreted as an integer",
        ),
        (
            dict(child_labels=["", 1], node_shifts="ab"),
            "argument 'node_shifts': Can't extract `str` to `Vec`",
        ),
        (
            dict(payloads=5, child_labels=[1]),
            "argument 'child_labels': 'int' object cannot be converted to 'PyString'",
        ),
        (
            dict(payloads=5, child_transitions=[None]),
            "argument 'payloads': 'int' object cannot be converted to 'Sequence'",
        ),
        (
            dict(child_transitions=[1.0], video_index=["ab"]),
            "argument 'child_transitions': 'float' object cannot be interpreted as an integer",
        ),
        (
            dict(video_index=["ab"]),
            "argument 'video_index': Can't extract `str` to `Vec`",
        ),
        (
            dict(video_index=[5]),
            "argument 'video_index': 'int' object cannot be converted to 'Sequence'",
        ),
    ],
)
def test_conversion_errors_are_prefixed_and_come_first(changes, message):
    with pytest.raises(TypeError) as info:
        call(**changes)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "changes, message",
    [
        # Lengths before slot values before slot ranges before payloads
        # before identifiers.
        (
            dict(node_shifts=[0], payloads=[None], child_transitions=[9]),
            "node_shifts len 1 != child_labels len 2",
        ),
        (
            dict(payloads=[None], child_transitions=[9]),
            "payloads len 1 != child_labels len 2",
        ),
        (
            dict(child_transitions=[9], node_shifts=[0, 5]),
            "child_transitions[0] = 9 out of range [0..2)",
        ),
        (
            dict(node_shifts=[0, 5], payloads=[None, 7]),
            "node_shifts[1] = 5 out of range [0..1]",
        ),
        (
            dict(payloads=[(1, [0, 1], [1]), 7], video_index=[b"x"]),
            "video_ids and video_counts length mismatch",
        ),
        (
            dict(payloads=[None, (1, [0], [1])], video_index=[b"x"]),
            "video_index entries must be all 16 bytes (UUID) or all 4 bytes (int32)",
        ),
    ],
)
def test_order_of_detection(changes, message):
    with pytest.raises((ValueError, TypeError)) as info:
        call(**changes)
    assert str(info.value) == message


def test_payload_errors_in_node_order():
    with pytest.raises(TypeError, match="'int' object cannot be converted to 'PyTuple'"):
        call(payloads=[7, (5, [0], [5, 6])])


@pytest.mark.parametrize(
    "shifts, transitions, error",
    [
        ([0, 1, 1], [1, 2], None),
        # A node whose range does not increase has no children, whatever
        # its start: shifts beyond E are fine when they do not grow.
        ([5, 1, 1], [1, 2], None),
        ([0, 9, 9], [1, 2], "node_shifts[1] = 9 out of range [0..2]"),
        ([0, 3, 3], [1, 2], "node_shifts[1] = 3 out of range [0..2]"),
        # Node 1's range would end at 99.
        ([0, 1, 99], [1, 2], "node_shifts[2] = 99 out of range [0..2]"),
        ([0, 9, 99], [1, 2], "node_shifts[1] = 9 out of range [0..2]"),
        # The last node's range ends at E whatever its own start.
        ([0, 2, 1], [1, 2], None),
        ([0, 1, 2], [1, 2], None),
        ([0, 0, 0], [], None),
        ([7, 7, 7], [], None),
        ([0, 3, 3], [], "node_shifts[1] = 3 out of range [0..0]"),
    ],
)
def test_slot_range_check(shifts, transitions, error):
    args = dict(
        node_shifts=shifts,
        child_labels=["", "a", "b"],
        payloads=[None, None, None],
        child_transitions=transitions,
        video_index=[],
        video_top_n=3,
    )
    if error is None:
        build(**args)
    else:
        with pytest.raises(ValueError) as info:
            build(**args)
        assert str(info.value) == error


def test_child_transitions_length_not_checked_against_n():
    build([0], ["x"], [None], [0, 0, 0], [], 1)
    build([0, 0], ["", "a"], [None, None], [], [], 1)
    with pytest.raises(ValueError, match=r"^child_transitions\[0\] = 0 out of range \[0\.\.0\)$"):
        build([], [], [], [0], [], 1)


@pytest.mark.parametrize(
    "label, expected",
    [
        ("ab", "a"),
        ("", "\0"),
        ("\0x", "\0"),
        ("é!", "é"),
        ("\U0001f600z", "\U0001f600"),
        ("\uffff", "\uffff"),
    ],
)
def test_label_is_first_code_point(label, expected):
    idx = built([0], [label], [None], [], [], 1)
    assert idx.label_texts() == [expected]


@pytest.mark.parametrize("label", ["\ud800", "a\udfff", "ab\ud83d"])
def test_label_without_utf8_form_raises_unicode_error(label):
    with pytest.raises(UnicodeEncodeError):
        build([0], [label], [None], [], [], 1)


def test_label_str_subclass_accepted():
    class S(str):
        pass

    assert built([0], [S("q")], [None], [], [], 1).label_texts() == ["q"]


def test_is_terminal_follows_raw_payloads():
    idx = built(
        [0, 2, 2],
        ["", "a", "b"],
        [None, (0, [], []), None],
        [1, 2],
        [],
        5,
    )
    assert idx.is_terminal == [False, True, False]
    # Every payload is present after construction.
    assert idx.payloads == [(0, [], []), (0, [], []), (0, [], [])]


def test_payload_tuple_subclass_and_sequences():
    from collections import namedtuple

    P = namedtuple("P", "total ids counts")
    idx = built([0], [""], [P(3, (4, 5), range(2))], [], [], 9)
    assert idx.payloads == [(3, [5, 4], [1, 0])]


@pytest.mark.parametrize(
    "video_index, mode, ids",
    [
        ([b"\x01\x00\x00\x00", b"\xff\xff\xff\xff"], 1, [1, 4294967295]),
        ([bytes([0x80, 0, 0, 0x80])], 1, [0x80000080]),
        ([[1, 2, 3, 4]], 1, [0x04030201]),
        ([bytearray(b"\0\0\1\0"), (0, 0, 0, 1)], 1, [0x10000, 0x1000000]),
    ],
)
def test_int32_identifiers_little_endian(video_index, mode, ids):
    idx = built([0], [""], [None], [], video_index, 1)
    assert (idx.id_mode, idx.int32_ids, idx.uuid_ids) == (mode, ids, [])


def test_uuid_identifiers_kept_in_order():
    a = bytes(range(16))
    b = bytes(range(100, 116))
    idx = built([0], [""], [None], [], [a, list(b)], 1)
    assert (idx.id_mode, idx.uuid_ids, idx.int32_ids) == (0, [a, b], [])


def test_empty_video_index_is_uuid_mode():
    idx = built([0], [""], [(1, [3], [1])], [], [], 1)
    assert (idx.id_mode, idx.uuid_ids, idx.int32_ids) == (0, [], [])
    # Video numbers beyond the table are accepted.
    assert idx.payloads == [(1, [3], [1])]


@pytest.mark.parametrize(
    "entry, exc, message",
    [
        ([1, 256, 0, 0], OverflowError, "out of range integral type conversion attempted"),
        ([1, -1, 0, 0], OverflowError, "out of range integral type conversion attempted"),
        ([1, 2**70, 0, 0], OverflowError, None),
        (
            [1.5, 0, 0, 0],
            TypeError,
            "argument 'video_index': 'float' object cannot be interpreted as an integer",
        ),
    ],
)
def test_video_index_byte_rule(entry, exc, message):
    with pytest.raises(exc) as info:
        build([0], [""], [None], [], [entry], 1)
    if message is not None:
        assert str(info.value) == message


def test_arguments_are_not_retained():
    import sys

    payload = (5, [0], [5])
    labels = ["", "a"]
    before = sys.getrefcount(payload), sys.getrefcount(labels)
    s = build([0, 1], labels, [None, payload], [1], [b"\1\0\0\0"], 3)
    assert (sys.getrefcount(payload), sys.getrefcount(labels)) == before
    del s


def test_failed_build_releases_converted_payloads():
    import sys

    payload = (5, [0], [5])
    before = sys.getrefcount(payload)
    with pytest.raises(ValueError):
        build([0, 1], ["", "a"], [payload, (1, [0, 1], [1])], [1], [], 3)
    assert sys.getrefcount(payload) == before
