"""fuzzy_match: indexed terms within an edit distance of a query."""

import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from _quillomar import PrefixSearch
from reference import levenshtein, reference_matches
from trie_builder import arrays_from_words, encode_index, panic_message


def index_of(words):
    return arrays_from_words(words).build()


def chain_index(length, terminal_depths, label="a"):
    """A single path of `length` labelled nodes below the root, stored form."""
    n = length + 1
    terminal = [False] * n
    for d in terminal_depths:
        terminal[d] = True
    data = encode_index(
        list(range(n)), [""] + [label] * length, list(range(1, n)), [None] * n, terminal
    )
    return PrefixSearch.from_bytes(data)


def test_walk_along_a_path_stops_where_the_row_minimum_leaves_the_bound():
    s = index_of(["a", "ab", "abc", "abcd"])
    assert s.fuzzy_match("ab") == [("a", 1, 1), ("ab", 1, 0), ("abc", 1, 1)]
    assert s.fuzzy_match("ab", 2) == [("a", 1, 1), ("ab", 1, 0), ("abc", 1, 1), ("abcd", 1, 2)]
    assert s.fuzzy_match("ab", 0) == [("ab", 1, 0)]


def test_terms_come_in_pre_order_with_siblings_in_slot_order():
    s = index_of(["ab", "abc", "b", "xb", "a"])
    # Slot order of the root's children is insertion order: a, b, x.
    assert s.fuzzy_match("ab") == [
        ("a", 1, 1),
        ("ab", 1, 0),
        ("abc", 1, 1),
        ("b", 1, 1),
        ("xb", 1, 1),
    ]


@pytest.mark.parametrize(
    "limit, expected",
    [
        (None, [("a", 1, 1), ("ab", 1, 0), ("abc", 1, 1)]),
        (0, []),
        (1, [("a", 1, 1)]),  # the first match, though a later one is exact
        (2, [("a", 1, 1), ("ab", 1, 0)]),
        (3, [("a", 1, 1), ("ab", 1, 0), ("abc", 1, 1)]),
        (4294967295, [("a", 1, 1), ("ab", 1, 0), ("abc", 1, 1)]),
    ],
)
def test_limit_keeps_the_first_matches_in_walk_order(limit, expected):
    s = index_of(["a", "ab", "abc", "abcd"])
    assert s.fuzzy_match("ab", limit=limit) == expected


@pytest.mark.parametrize(
    "max_dist, count", [(0, 0), (1, 1), (2, 2), (65535, 5), (65536, 5), (65537, 5), (4294967295, 5)]
)
def test_bound_saturates_instead_of_wrapping(max_dist, count):
    words = ["x", "xy", "xyz", "xyzw", "xyzwv"]
    s = index_of(words)
    # Query '' : every term is at distance equal to its length.
    assert s.fuzzy_match("", max_dist) == [(w, 1, len(w)) for w in words[:count]]


def test_distances_beyond_16_bits_are_exact():
    s = chain_index(66000, [65535, 65536, 65537, 66000])
    got = s.fuzzy_match("a", 4294967295)
    assert [(len(t), d) for t, _, d in got] == [(65535, 65534), (65536, 65535)]
    assert [(len(t), d) for t, _, d in s.fuzzy_match("a" * 66000, 0)] == [(66000, 0)]


def test_million_node_path_and_million_character_query():
    s = chain_index(1_000_000, [1, 999_999, 1_000_000])
    big = "a" * 1_000_000
    assert [(len(t), d) for t, _, d in s.fuzzy_match(big, 1)] == [(999_999, 1), (1_000_000, 0)]
    assert [(len(t), d) for t, _, d in s.fuzzy_match("a", 1)] == [(1, 0)]
    assert s.fuzzy_match(big[:-2] + "bb", 1) == []
    small = index_of(["a", "aa", "ab"])
    assert small.fuzzy_match(big, 3) == []
    # Beyond 65535 the bound saturates: nothing is that close to the query.
    assert small.fuzzy_match(big, 4294967295) == []
    assert small.fuzzy_match(big[:65536], 4294967295) == [
        ("a", 1, 65535),
        ("aa", 1, 65534),
        ("ab", 1, 65535),
    ]


def test_index_without_nodes_answers_with_nothing(empty_index):
    assert empty_index.fuzzy_match("") == []
    assert empty_index.fuzzy_match("abc", 4294967295) == []
    assert empty_index.fuzzy_match_video("", 5, include_prefix_nodes=True) == []


def test_empty_query_matches_terms_as_deep_as_the_bound():
    s = index_of(["a", "bc", "def"])
    assert s.fuzzy_match("", 0) == []
    assert s.fuzzy_match("", 2) == [("a", 1, 1), ("bc", 1, 2)]


def test_root_is_never_a_match_even_when_terminal():
    data = encode_index([0, 1], ["", "a"], [1], [None, None], [True, True])
    s = PrefixSearch.from_bytes(data)
    assert s.fuzzy_match("", 1) == [("a", 1, 1)]


def test_unlabelled_node_hides_its_subtree():
    # root -> 'a' (terminal) -> '' (terminal) -> 'b' (terminal)
    data = encode_index(
        [0, 1, 2, 3], ["", "a", "", "b"], [1, 2, 3], [None] * 4, [False, True, True, True]
    )
    s = PrefixSearch.from_bytes(data)
    assert s.fuzzy_match("ab", 3) == [("a", 1, 1)]
    assert s.fuzzy_match("a", 3) == [("a", 1, 0)]


def test_siblings_with_equal_labels_are_both_visited():
    data = encode_index([0, 2, 2], ["", "a", "a"], [1, 2], [None] * 3, [False, True, True])
    assert PrefixSearch.from_bytes(data).fuzzy_match("a", 0) == [("a", 1, 0), ("a", 1, 0)]


@pytest.mark.parametrize(
    "query, term, distance",
    [
        ("\U0001f600", "\U0001f600", 0),
        ("\U0001f600", "\U0001f601", 1),
        ("a\U0001f600", "ab", 1),
        ("\U0001f600\U0001f600", "\U0001f600", 1),
        ("é", "e", 1),
        ("\U0010ffff", "\U0010ffff", 0),
    ],
)
def test_code_points_outside_the_bmp_count_once(query, term, distance):
    s = index_of([term])
    assert s.fuzzy_match(query, 1) == ([(term, 1, distance)] if distance <= 1 else [])


@pytest.mark.parametrize(
    "words, query, bound",
    [
        # A row's minimum must be kept for every way a row is computed: a stale
        # minimum of an earlier sibling's subtree here once made the walk skip
        # 'a\U0001F600c' as if its parent were already at the bound.
        (["ac\U0001f600cacc\U0001f600", "a\U0001f600c", "aa\U0001f600"], "a\U0001f600b", 1),
        (["abcdefgh", "abxdefgh", "bcdefgh", "abcdefghij"], "abcdefgh", 2),
        (["xbcdefgh", "axcdefgh", "abxdefgh"], "abcdefgx", 2),
    ],
)
def test_walk_equals_whole_row_reference(words, query, bound):
    for depth_first in (False, True):
        a = arrays_from_words(words, depth_first=depth_first)
        assert a.build().fuzzy_match(query, bound) == [
            (t, 1, d) for t, _, d in reference_matches(a, query, bound, True)
        ]


WORDS = st.lists(st.text(alphabet="abc\U0001f600", min_size=1, max_size=7), min_size=1, max_size=30)
QUERY = st.text(alphabet="abcd\U0001f600", max_size=9)


@settings(max_examples=300)
@given(
    words=WORDS,
    query=QUERY,
    bound=st.integers(0, 3),
    seed=st.integers(0, 2**32),
    depth_first=st.booleans(),
)
def test_matches_equal_brute_force_levenshtein(words, query, bound, seed, depth_first):
    a = arrays_from_words(words, rng=random.Random(seed), depth_first=depth_first)
    got = a.build().fuzzy_match(query, bound)
    expected = sorted(
        (w, levenshtein(query, w)) for w in set(words) if levenshtein(query, w) <= bound
    )
    assert sorted((t, d) for t, _, d in got) == expected
    # Order, nodes and distances equal those of a plain whole-row walk, which
    # checks the banded rows against full ones (queries longer than 2*bound
    # take the band).
    assert got == [(t, 1, d) for t, _, d in reference_matches(a, query, bound, True)]
    # One surplus is_terminal entry makes the index fail the load-time check
    # without making any read go outside: the bounds-checked walk must
    # answer exactly the same.
    n = len(a.child_labels)
    checked = PrefixSearch.from_bytes(
        encode_index(
            a.node_shifts, a.child_labels, a.child_transitions, [None] * n, a.terminal + [False]
        )
    )
    assert checked.fuzzy_match(query, bound) == got


# --- Indexes that break the trie's invariants -----------------------------


def oob(length, index):
    return f"index out of bounds: the len is {length} but the index is {index}"


@pytest.mark.parametrize(
    "fields, query, message",
    [
        # node_shifts shorter than the node count: the root's entry is missing.
        (dict(node_shifts=[], labels=["", "a"], transitions=[1]), "a", oob(0, 0)),
        # The root's slot range runs past the end of child_transitions.
        (dict(node_shifts=[0, 3], labels=["", "a"], transitions=[1]), "a", oob(1, 1)),
        # A slot names a node beyond the labels.
        (dict(node_shifts=[0, 1], labels=["", "a"], transitions=[9]), "a", oob(2, 9)),
        # is_terminal too short: read only for a child within the bound.
        (
            dict(node_shifts=[0, 1], labels=["", "a"], transitions=[1], is_terminal=[False]),
            "a",
            oob(1, 1),
        ),
        # node_shifts too short for a child that the walk enters.
        (dict(node_shifts=[0], labels=["", "a"], transitions=[1]), "a", oob(1, 1)),
    ],
)
@pytest.mark.parametrize("method", ["fuzzy_match", "fuzzy_match_video"])
def test_broken_index_raises_panic_at_the_first_bad_read(fields, query, message, method):
    n = len(fields["labels"])
    data = encode_index(
        fields["node_shifts"],
        fields["labels"],
        fields["transitions"],
        [None] * n,
        fields.get("is_terminal", [True] * n),
    )
    s = PrefixSearch.from_bytes(data)
    assert panic_message(lambda: getattr(s, method)(query)) == message


def test_broken_index_reads_nothing_it_does_not_need():
    # is_terminal is empty, but no child comes within the bound, and a child
    # without children of its own needs no further reads.
    data = encode_index([0, 1], ["", "a"], [1], [None, None], [])
    s = PrefixSearch.from_bytes(data)
    assert s.fuzzy_match("xyz", 1) == []
    assert s.fuzzy_match("a", 1, limit=0) == []


def test_seeded_sweep_equals_whole_row_reference():
    # Volume where the property test above has variety: many small tries of
    # long-ish words from a tiny alphabet, where the band, the skip of
    # letters missing from the query and the reuse of rows all interact.
    rng = random.Random(20240601)
    alphabet = "abc\U0001f600"
    for _ in range(1000):
        words = [
            "".join(rng.choice(alphabet) for _ in range(rng.randint(1, 8)))
            for _ in range(rng.randint(1, 30))
        ]
        a = arrays_from_words(words, rng=rng, depth_first=rng.random() < 0.3)
        s = a.build()
        for _ in range(3):
            # Queries near indexed words keep more of the walk alive.
            query = list(rng.choice(words))
            for _ in range(rng.randint(0, 2)):
                i = rng.randint(0, len(query))
                op = rng.randrange(3)
                if op == 0:
                    query.insert(i, rng.choice(alphabet + "d"))
                elif i < len(query):
                    if op == 1:
                        del query[i]
                    else:
                        query[i] = rng.choice(alphabet + "d")
            query = "".join(query)
            bound = rng.randint(0, 4)
            assert s.fuzzy_match(query, bound) == [
                (t, 1, d) for t, _, d in reference_matches(a, query, bound, True)
            ]
