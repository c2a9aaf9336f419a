"""The boundary both native modules share: each kind of internal failure
becomes the same Python exception whichever module meets it (one
PanicException class for the process), and the build module reads integer
columns by the same buffer rule as the search module."""

import array
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import _quillomar_build
from _quillomar import PrefixSearch
from _quillomar_build import Aggregator, BadRecordError
from trie_bytes import TrieData, encode

# A root whose only child slot names node 5, which does not exist: searching
# it fails on an index out of bounds (len 1, index 5), the very failure the
# build module's "panic" probe raises.
BROKEN_INDEX = encode(
    TrieData(
        node_shifts=[0],
        child_labels=[0],
        child_transitions=[5],
        payloads=[None],
        is_terminal=[False],
    )
)


def search_module_panic() -> BaseException:
    index = PrefixSearch.from_bytes(BROKEN_INDEX)
    try:
        index.fuzzy_match("a")
    except BaseException as e:  # noqa: BLE001 - PanicException is one
        return e
    raise AssertionError("the broken index raised nothing")


@pytest.mark.parametrize(
    "kind, message",
    [
        ("panic", "index out of bounds: the len is 1 but the index is 5"),
        ("capacity", "capacity overflow"),
        ("other", "an unexpected failure"),
        ("unknown", "unknown internal failure"),
    ],
)
def test_internal_failures_of_the_build_module_are_the_search_modules_panic(kind, message):
    expected = search_module_panic()
    with pytest.raises(BaseException) as info:
        _quillomar_build._fail_as(kind)
    assert type(info.value) is type(expected)
    assert not isinstance(info.value, Exception)
    assert info.value.args == (message,)


def test_same_broken_invariant_reads_the_same_from_both_modules():
    with pytest.raises(BaseException) as info:
        _quillomar_build._fail_as("panic")
    expected = search_module_panic()
    assert (type(info.value), info.value.args) == (type(expected), expected.args)


def test_refused_allocation_is_memory_error():
    with pytest.raises(MemoryError):
        _quillomar_build._fail_as("memory")


@pytest.mark.parametrize("build_first", [True, False])
def test_one_panic_class_whichever_module_creates_it(build_first):
    # In a fresh interpreter, so that neither module has made the class yet.
    code = textwrap.dedent(
        f"""
        import _quillomar, _quillomar_build

        def build():
            try:
                _quillomar_build._fail_as("panic")
            except BaseException as e:
                return type(e)

        def search():
            try:
                _quillomar.PrefixSearch.from_bytes({BROKEN_INDEX!r}).fuzzy_match("a")
            except BaseException as e:
                return type(e)

        first, second = (build, search) if {build_first} else (search, build)
        a, b = first(), second()
        print(a is b, a.__module__, a.__name__)
        """
    )
    out = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, check=True
    ).stdout
    assert out.split() == ["True", "_quillomar", "PanicException"]


def test_probe_refuses_unknown_kinds():
    with pytest.raises(ValueError, match="kind must be"):
        _quillomar_build._fail_as("nothing")
    with pytest.raises(TypeError):
        _quillomar_build._fail_as(1)


# Integer columns of the build module: every native integer format, in any
# width, is read in place; byte orders other than native and non-integers
# are refused; the first value outside 0..4294967295 is named with its row.


def add(counts, videos=None):
    aggregator = Aggregator()
    rows = len(counts)
    ids = array.array("I", range(rows)) if videos is None else videos
    aggregator.add(b"t\0" * rows, None, ids, counts, "int")
    return aggregator.encode(2)


COUNTS = [3, 0, 4294967295]


@pytest.mark.parametrize(
    "column",
    [array.array(code, COUNTS[:2] + [127]) for code in "bBhHiIlLqQ"]
    + [memoryview(array.array("q", COUNTS[:2] + [127])).cast("B").cast(code) for code in "nN"]
    + [np.array(COUNTS[:2] + [127], dtype=d) for d in ["<i2", "=u8", "i8"]],
    ids=lambda c: (
        c.typecode if isinstance(c, array.array) else str(getattr(c, "dtype", None) or c.format)
    ),
)
def test_every_native_integer_format_counts_alike(column):
    assert add(column) == add(array.array("I", COUNTS[:2] + [127]))


@pytest.mark.parametrize(
    "column",
    [np.array([1, 2], dtype=">i4"), np.array([1.0, 2.0]), memoryview(b"ab").cast("c")],
    ids=["big-endian", "float", "char"],
)
def test_columns_that_are_not_native_integers_are_refused(column):
    with pytest.raises(TypeError, match="counts must be a buffer of integers"):
        add(column)


def test_a_column_that_is_no_buffer_is_refused():
    with pytest.raises(TypeError, match="counts must be a contiguous buffer"):
        add([1, 2])


@pytest.mark.parametrize(
    "counts, videos, message, row",
    [
        (np.array([1, -1], dtype="i1"), None, "count -1 is negative", 1),
        (np.array([0, 1, 2**32], dtype="u8"), None, "count 4294967296 is above 4294967295", 2),
        (np.array([-(2**63)], dtype="i8"), None, f"count {-(2**63)} is negative", 0),
        (
            array.array("I", [1, 1]),
            np.array([7, -1], dtype="i2"),
            "video id -1 is outside 0..4294967295",
            1,
        ),
    ],
)
def test_the_first_value_out_of_range_is_named_with_its_row(counts, videos, message, row):
    with pytest.raises(BadRecordError) as info:
        add(counts, videos)
    assert isinstance(info.value, ValueError)
    assert info.value.args == (message, row)
