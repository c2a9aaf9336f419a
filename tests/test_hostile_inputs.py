"""Inputs sized to hurt: huge declared counts, cut encodings, a path a million
nodes deep, a query a million characters long, the largest bounds and limits.

Every call must end with a correct result or the module's own error, using
memory in proportion to its input and result. The checks that could allocate
by a declared count run in a child process under an address-space limit, so
an over-eager reservation fails there loudly instead of passing unnoticed
(an untouched reservation never shows up in resident memory).
"""

import subprocess
import sys
import textwrap
from typing import List, Tuple

import pytest

from _quillomar import PrefixSearch
from trie_builder import arrays_from_words
from trie_bytes import varint

WORDS = ["cat", "car", "cart", "dog", "door", "do", "\U0001f600x", "zebra"]


def sample_encoding() -> bytes:
    payloads = {w: (i + 1, [i % 3, 2], [i, 1]) for i, w in enumerate(WORDS)}
    ids = [bytes([i, 0, 0, 0]) for i in range(3)]
    a = arrays_from_words(WORDS, payloads=payloads, video_index=ids)
    return PrefixSearch.from_internal_data_v2(*a.args()).to_bytes()


def count_fields(data: bytes) -> List[Tuple[int, int]]:
    """(offset, width) of every sequence count in a valid encoding."""
    pos = 0
    found: List[Tuple[int, int]] = []

    def value() -> int:
        nonlocal pos
        first = data[pos]
        width = {251: 3, 252: 5, 253: 9}.get(first, 1)
        v = first if width == 1 else int.from_bytes(data[pos + 1 : pos + width], "little")
        pos += width
        return v

    def count() -> int:
        found.append((pos, {251: 3, 252: 5, 253: 9}.get(data[pos], 1)))
        return value()

    def label() -> None:
        nonlocal pos
        first = data[pos]
        pos += 1 if first < 0x80 else 2 if first < 0xE0 else 3 if first < 0xF0 else 4

    def u32s() -> None:
        for _ in range(count()):
            value()

    u32s()  # node_shifts
    for _ in range(count()):
        label()
    u32s()  # child_transitions
    for _ in range(count()):
        pos += 1
        if data[pos - 1]:
            value()
            u32s()
            u32s()
    n = count()
    pos += 16 * n  # uuid_ids
    u32s()  # int32_ids
    value()  # id_mode
    n = count()
    pos += n  # is_terminal
    assert pos == len(data)
    return found


def hostile_variants(data: bytes):
    """Every count set to 2**31, 2**32, 2**64-1 and one more than the bytes
    left; then every proper prefix of the encoding."""
    for offset, width in count_fields(data):
        left = len(data) - (offset + width)
        for value in (2**31, 2**32, 2**64 - 1, left + 1):
            yield data[:offset] + varint(value) + data[offset + width :]
    for cut in range(len(data)):
        yield data[:cut]


def run_limited(code: str, address_space_mib: int = 1024) -> str:
    """Runs `code` in a child interpreter whose address space may grow by at
    most `address_space_mib` beyond what importing the module takes."""
    prelude = textwrap.dedent(
        f"""
        import resource, sys
        sys.path[:0] = {sys.path!r}
        import _quillomar
        with open("/proc/self/statm") as f:
            used = int(f.read().split()[0]) * resource.getpagesize()
        limit = used + {address_space_mib} * 1024 * 1024
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        """
    )
    done = subprocess.run(
        [sys.executable, "-"],
        input=prelude + textwrap.dedent(code),
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert done.returncode == 0, done.stderr[-3000:]
    return done.stdout


def test_sample_encoding_has_every_kind_of_count():
    data = sample_encoding()
    assert PrefixSearch.from_bytes(data).to_bytes() == data
    # Six top-level sequences plus two lists per payload.
    assert len(count_fields(data)) > 7 + 2 * len(WORDS)


def test_huge_counts_and_cuts_fail_fast_without_reserving():
    data = sample_encoding()
    variants = list(hostile_variants(data))
    out = run_limited(
        f"""
        from _quillomar import PrefixSearch
        failures = []
        for blob in {variants!r}:
            try:
                PrefixSearch.from_bytes(blob)
            except ValueError as e:
                if not str(e).startswith("decode error: "):
                    failures.append((blob, repr(e)))
            except BaseException as e:
                failures.append((blob, repr(e)))
            else:
                failures.append((blob, "decoded"))
        print(len(failures))
        print(failures[:3])
        """,
        address_space_mib=256,
    )
    assert out.splitlines()[0] == "0", out


@pytest.mark.parametrize("level", ["node_shifts", "payload ids", "uuid_ids"])
def test_tiny_strings_announcing_billions(level):
    billions = b"\xfc\xff\xff\xff\xff"
    blob = {
        "node_shifts": billions,
        "payload ids": b"\x00\x00\x00\x01\x01\x05" + billions,
        "uuid_ids": b"\x00\x00\x00\x00" + billions + bytes(20),
    }[level]
    out = run_limited(
        f"""
        from _quillomar import PrefixSearch
        try:
            PrefixSearch.from_bytes({blob!r})
        except ValueError as e:
            print(e)
        """,
        address_space_mib=64,
    )
    assert out.startswith("decode error: UnexpectedEnd")


def test_a_path_a_million_nodes_deep():
    out = run_limited(
        """
        from _quillomar import PrefixSearch
        n = 1_000_000
        shifts = list(range(n))
        labels = [""] + ["a"] * (n - 1)
        payloads = [None] * n
        payloads[-1] = (1, [0], [1])
        payloads[3] = (2, [0], [2])
        index = PrefixSearch.from_internal_data_v2(
            shifts, labels, payloads, list(range(1, n)), [bytes(4)], 5)
        deep = "a" * (n - 1)
        print(index.fuzzy_match(deep, 1) == [(deep, 1, 0)])
        print(index.fuzzy_match("aaa", 1) == [("aaa", 1, 0)])
        print(index.fuzzy_match_video(deep[:-1], 1) == [("0", 1.0)])
        again = PrefixSearch.from_bytes(index.to_bytes())
        print(again.fuzzy_match(deep, 0) == [(deep, 1, 0)])
        """,
        address_space_mib=1024,
    )
    assert out.split() == ["True"] * 4


@pytest.fixture(scope="module")
def words_index():
    payloads = {w: (10, [i % 4], [5]) for i, w in enumerate(WORDS)}
    ids = [bytes([i, 0, 0, 0]) for i in range(4)]
    a = arrays_from_words(WORDS, payloads=payloads, video_index=ids)
    return PrefixSearch.from_internal_data_v2(*a.args())


def test_a_query_a_million_characters_long(words_index):
    query = "c" * 1_000_000
    assert words_index.fuzzy_match(query) == []
    assert words_index.fuzzy_match(query, 2**32 - 1, limit=1) == []
    assert words_index.fuzzy_match_video(query, include_prefix_nodes=True) == []


def test_largest_bound_and_limit_find_everything(words_index):
    everything = words_index.fuzzy_match("", 2**32 - 1, 2**32 - 1)
    assert sorted(t for t, _, _ in everything) == sorted(WORDS)
    for text, terminal, distance in everything:
        assert terminal == 1 and distance == len(text)
    rows = words_index.fuzzy_match_video("cat", 2**32 - 1, 2**32 - 1)
    assert {v for v, _ in rows} <= {"0", "1", "2", "3"} and rows


def test_largest_bound_uses_memory_in_proportion_to_the_query():
    out = run_limited(
        """
        from _quillomar import PrefixSearch
        index = PrefixSearch.from_internal_data_v2(
            [0, 1], ["", "a"], [None, (1, [], [])], [1], [], 1)
        print(index.fuzzy_match("b" * 20000, 2**32 - 1))
        print(index.fuzzy_match_video("b" * 20000, 2**32 - 1))
        """,
        address_space_mib=256,
    )
    assert out.split("\n")[:2] == ["[('a', 1, 20000)]", "[]"]


@pytest.mark.parametrize(
    "blob",
    [
        b"\n",  # ten shifts announced, none present (found by fuzzing)
        b"\x00\x00\x00\x03\x01\x00\x05",  # a payload list cut short
    ],
)
def test_counts_beyond_the_input_stop_at_the_first_missing_byte(blob):
    with pytest.raises(ValueError, match=r"^decode error: UnexpectedEnd \{ additional: 1 \}$"):
        PrefixSearch.from_bytes(blob)


class LyingLength:
    """A sequence that claims billions of elements and holds one."""

    def __init__(self, item):
        self.item = item

    def __len__(self):
        return 2**60

    def __getitem__(self, i):
        raise IndexError

    def __iter__(self):
        return iter([self.item])


@pytest.mark.parametrize(
    "arguments",
    [
        lambda: (LyingLength(0), [""], [None], [], [], 1),
        lambda: ([0], LyingLength(""), [None], [], [], 1),
        lambda: ([0], [""], LyingLength(None), [], [], 1),
        lambda: ([0], [""], [None], LyingLength(0), [], 1),
        lambda: ([0], [""], [None], [], LyingLength(bytes(4)), 1),
        lambda: ([0], [""], [(1, LyingLength(0), [1])], [], [bytes(4)], 1),
    ],
)
def test_reported_lengths_are_not_trusted_for_storage(arguments):
    args = arguments()
    try:
        PrefixSearch.from_internal_data_v2(*args)
    except ValueError:
        pass  # e.g. a self-slot out of range: what matters is no MemoryError
