"""Argument binding and conversion: the exact errors every method raises."""

from collections import UserList

import pytest

from _quillomar import PrefixSearch

FIDV2 = PrefixSearch.from_internal_data_v2


class Index:
    """An object whose __index__ behaves as configured."""

    def __init__(self, result=None, error=None):
        self.result, self.error = result, error

    def __index__(self):
        if self.error is not None:
            raise self.error
        return self.result


class Float:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error


def message(call):
    with pytest.raises(BaseException) as info:
        call()
    return type(info.value), str(info.value)


# --- binding -----------------------------------------------------------------


@pytest.mark.parametrize(
    "call,expected",
    [
        (
            lambda s: s.fuzzy_match(),
            "PrefixSearch.fuzzy_match() missing 1 required positional argument: 'term'",
        ),
        (
            lambda s: s.fuzzy_match_video(max_dist=2),
            "PrefixSearch.fuzzy_match_video() missing 1 required positional argument: 'term'",
        ),
        (
            lambda s: PrefixSearch.from_bytes(),
            "PrefixSearch.from_bytes() missing 1 required positional argument: 'b'",
        ),
        (
            lambda s: FIDV2(),
            "PrefixSearch.from_internal_data_v2() missing 6 required positional "
            "arguments: 'node_shifts', 'child_labels', 'payloads', "
            "'child_transitions', 'video_index', and 'video_top_n'",
        ),
        (
            lambda s: FIDV2([], [], [], video_top_n=1),
            "PrefixSearch.from_internal_data_v2() missing 2 required positional "
            "arguments: 'child_transitions' and 'video_index'",
        ),
        (
            lambda s: FIDV2([], [], [], [], video_top_n=1),
            "PrefixSearch.from_internal_data_v2() missing 1 required positional "
            "argument: 'video_index'",
        ),
        (
            lambda s: s.fuzzy_match("a", 1, 2, 3),
            "PrefixSearch.fuzzy_match() takes from 1 to 3 positional arguments but 4 were given",
        ),
        (
            lambda s: s.fuzzy_match_video("a", 1, 2, 3, 4, 5),
            "PrefixSearch.fuzzy_match_video() takes from 1 to 5 positional "
            "arguments but 6 were given",
        ),
        (
            lambda s: PrefixSearch.from_bytes(b"", b""),
            "PrefixSearch.from_bytes() takes 1 positional arguments but 2 were given",
        ),
        (
            lambda s: FIDV2(1, 2, 3, 4, 5, 6, 7),
            "PrefixSearch.from_internal_data_v2() takes 6 positional arguments but 7 were given",
        ),
        (
            lambda s: s.fuzzy_match("a", term="b"),
            "PrefixSearch.fuzzy_match() got multiple values for argument 'term'",
        ),
        (
            lambda s: s.fuzzy_match_video("a", limit=1, **{"limit": 2}),
            None,  # Python itself refuses a repeated keyword
        ),
        (
            lambda s: s.fuzzy_match("a", foo=1),
            "PrefixSearch.fuzzy_match() got an unexpected keyword argument 'foo'",
        ),
        (
            lambda s: PrefixSearch.from_bytes(c=b""),
            "PrefixSearch.from_bytes() got an unexpected keyword argument 'c'",
        ),
        # Binding is checked before any conversion.
        (
            lambda s: s.fuzzy_match(5, foo=1),
            "PrefixSearch.fuzzy_match() got an unexpected keyword argument 'foo'",
        ),
        (
            lambda s: s.fuzzy_match(None, None, None, None),
            "PrefixSearch.fuzzy_match() takes from 1 to 3 positional arguments but 4 were given",
        ),
    ],
)
def test_binding_errors(empty_index, call, expected):
    kind, text = message(lambda: call(empty_index))
    assert kind is TypeError
    if expected is not None:
        assert text == expected


def test_keyword_names_must_match_exactly(empty_index):
    # A keyword that differs only in case, or a str subclass, is compared as
    # text; the interpreter refuses non-str keyword names itself.
    kind, text = message(lambda: empty_index.fuzzy_match("a", Term="b"))
    assert text.endswith("got an unexpected keyword argument 'Term'")


@pytest.mark.parametrize(
    "call",
    [lambda s: s.to_bytes(1), lambda s: s.to_bytes(x=1)],
)
def test_to_bytes_takes_no_arguments(empty_index, call):
    kind, text = message(lambda: call(empty_index))
    assert kind is TypeError
    assert text.startswith("PrefixSearch.to_bytes() takes no")


# --- conversion --------------------------------------------------------------

CANNOT = "' object cannot be converted to '"


@pytest.mark.parametrize(
    "kwargs,kind,expected",
    [
        ({"term": 5}, TypeError, "argument 'term': 'int" + CANNOT + "PyString'"),
        ({"term": None}, TypeError, "argument 'term': 'NoneType" + CANNOT + "PyString'"),
        ({"term": b"a"}, TypeError, "argument 'term': 'bytes" + CANNOT + "PyString'"),
        (
            {"term": "a", "max_dist": None},
            TypeError,
            "argument 'max_dist': 'NoneType' object cannot be interpreted as an integer",
        ),
        (
            {"term": "a", "max_dist": 1.0},
            TypeError,
            "argument 'max_dist': 'float' object cannot be interpreted as an integer",
        ),
        (
            {"term": "a", "max_dist": 2**32},
            OverflowError,
            "out of range integral type conversion attempted",
        ),
        (
            {"term": "a", "limit": 2**32},
            OverflowError,
            "out of range integral type conversion attempted",
        ),
        (
            {"term": "a", "limit": "3"},
            TypeError,
            "argument 'limit': 'str' object cannot be interpreted as an integer",
        ),
        (
            {"term": "a", "max_dist": Index(error=TypeError("nope"))},
            TypeError,
            "argument 'max_dist': nope",
        ),
        # Only TypeError itself is prefixed: subclasses and other errors from
        # the argument's own code pass through unchanged.
        ({"term": "a", "max_dist": Index(error=ValueError("v"))}, ValueError, "v"),
        (
            {"term": "a", "max_dist": Index(error=UnicodeError("u"))},
            UnicodeError,
            "u",
        ),
        # The first failing argument in parameter order is the one reported.
        ({"term": 5, "max_dist": None}, TypeError, "argument 'term': 'int" + CANNOT + "PyString'"),
    ],
)
def test_fuzzy_match_conversion_errors(empty_index, kwargs, kind, expected):
    got_kind, text = message(lambda: empty_index.fuzzy_match(**kwargs))
    assert got_kind is kind
    assert text == expected


@pytest.mark.parametrize("method", ["fuzzy_match", "fuzzy_match_video"])
@pytest.mark.parametrize("name", ["max_dist", "limit"])
@pytest.mark.parametrize("value", [-1, 2**64, -(2**70)])
def test_interpreter_overflow_errors_pass_through(empty_index, method, name, value):
    kind, text = message(lambda: getattr(empty_index, method)("a", **{name: value}))
    assert kind is OverflowError
    assert not text.startswith("argument")


def test_type_error_subclass_is_not_prefixed(empty_index):
    class Strict(TypeError):
        pass

    kind, text = message(lambda: empty_index.fuzzy_match("a", Index(error=Strict("own"))))
    assert kind is Strict and text == "own"


def test_prefixed_error_keeps_cause(empty_index):
    cause = KeyError("root")
    error = TypeError("inner")
    error.__cause__ = cause
    with pytest.raises(TypeError) as info:
        empty_index.fuzzy_match("a", Index(error=error))
    assert str(info.value) == "argument 'max_dist': inner"
    assert info.value.__cause__ is cause


@pytest.mark.parametrize(
    "kwargs,kind,expected",
    [
        (
            {"include_prefix_nodes": 1},
            TypeError,
            "argument 'include_prefix_nodes': 'int" + CANNOT + "PyBool'",
        ),
        (
            {"include_prefix_nodes": "yes"},
            TypeError,
            "argument 'include_prefix_nodes': 'str" + CANNOT + "PyBool'",
        ),
        (
            {"min_score": "x"},
            TypeError,
            "argument 'min_score': must be real number, not str",
        ),
        ({"min_score": Float(ValueError("bad"))}, ValueError, "bad"),
        (
            {"limit": None, "include_prefix_nodes": 0, "min_score": "x"},
            TypeError,
            "argument 'include_prefix_nodes': 'int" + CANNOT + "PyBool'",
        ),
    ],
)
def test_fuzzy_match_video_conversion_errors(empty_index, kwargs, kind, expected):
    got_kind, text = message(lambda: empty_index.fuzzy_match_video("a", **kwargs))
    assert got_kind is kind
    assert text == expected


def test_lone_surrogate_term_is_a_unicode_error(empty_index):
    for method in (empty_index.fuzzy_match, empty_index.fuzzy_match_video):
        with pytest.raises(UnicodeEncodeError):
            method("a\ud800")


@pytest.mark.parametrize(
    "value,expected",
    [
        (bytearray(b"x"), "bytearray"),
        (memoryview(b"x"), "memoryview"),
        ("x", "str"),
        (None, "NoneType"),
    ],
)
def test_from_bytes_requires_bytes(value, expected):
    kind, text = message(lambda: PrefixSearch.from_bytes(value))
    assert kind is TypeError
    assert text == "argument 'b': '" + expected + CANNOT + "PyBytes'"


def test_from_bytes_accepts_bytes_subclass():
    class Blob(bytes):
        pass

    index = PrefixSearch.from_bytes(Blob(bytes(8)))
    assert type(index) is PrefixSearch


ARRAYS = dict(
    node_shifts=[],
    child_labels=[],
    payloads=[],
    child_transitions=[],
    video_index=[],
    video_top_n=1,
)


@pytest.mark.parametrize(
    "name,value,kind,expected",
    [
        ("node_shifts", "abc", TypeError, "argument 'node_shifts': Can't extract `str` to `Vec`"),
        ("node_shifts", 5, TypeError, "argument 'node_shifts': 'int" + CANNOT + "Sequence'"),
        ("child_labels", {"a"}, TypeError, "argument 'child_labels': 'set" + CANNOT + "Sequence'"),
        ("child_labels", [5], TypeError, "argument 'child_labels': 'int" + CANNOT + "PyString'"),
        ("payloads", None, TypeError, "argument 'payloads': 'NoneType" + CANNOT + "Sequence'"),
        (
            "child_transitions",
            [1.5],
            TypeError,
            "argument 'child_transitions': 'float' object cannot be interpreted as an integer",
        ),
        ("child_transitions", [-1], OverflowError, None),
        (
            "video_index",
            ["abcd"],
            TypeError,
            "argument 'video_index': Can't extract `str` to `Vec`",
        ),
        (
            "video_index",
            [[256, 0, 0, 0]],
            OverflowError,
            "out of range integral type conversion attempted",
        ),
        (
            "video_top_n",
            None,
            TypeError,
            "argument 'video_top_n': 'NoneType' object cannot be interpreted as an integer",
        ),
        (
            "video_top_n",
            [],
            TypeError,
            "argument 'video_top_n': 'list' object cannot be interpreted as an integer",
        ),
    ],
)
def test_from_internal_data_v2_top_level_conversions(name, value, kind, expected):
    got_kind, text = message(lambda: FIDV2(**{**ARRAYS, name: value}))
    assert got_kind is kind
    if expected is not None:
        assert text == expected


@pytest.mark.parametrize("kind", [tuple, list, UserList])
def test_any_sequence_is_accepted(kind):
    # Every array argument and the payload lists in the given kind build the
    # same index as plain lists do.
    args = (
        [0, 1],
        ["", "a"],
        [None, (5, [0, 2], [5, 1])],
        [1],
        [b"\x07\0\0\0", b"\x08\0\0\0", b"\x09\0\0\0"],
    )
    payloads = [None, (5, kind([0, 2]), kind([5, 1]))]
    got = FIDV2(kind(args[0]), kind(args[1]), kind(payloads), kind(args[3]), kind(args[4]), 10)
    assert got.to_bytes() == FIDV2(*args, 10).to_bytes()
    assert got.fuzzy_match_video("a") == [("7", 5 / 5), ("9", 1 / 5)]


@pytest.mark.parametrize("empty", [(), [], range(0)])
def test_empty_sequences_build_the_empty_index(empty):
    assert FIDV2(empty, empty, empty, empty, empty, 0).to_bytes() == bytes(8)


def test_iteration_errors_pass_through():
    class Broken:
        def __len__(self):
            raise RuntimeError("len is only a hint")

        def __getitem__(self, i):
            raise LookupError("boom")

    kind, text = message(lambda: FIDV2(**{**ARRAYS, "node_shifts": Broken()}))
    assert (kind, text) == (LookupError, "boom")
