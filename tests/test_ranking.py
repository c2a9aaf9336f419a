"""fuzzy_match_video: node matching, node weights, scores, order, identifier
texts."""

import math
import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from _quillomar import PrefixSearch
from reference import reference_ranking
from trie_builder import arrays_from_words, encode_index, panic_message


def stored(a, payloads, *, int32_ids=None, uuid_ids=None, terminal=None):
    """Index `a`'s shape with exactly these payloads (no propagation)."""
    int32 = uuid_ids is None
    return PrefixSearch.from_bytes(
        encode_index(
            a.node_shifts,
            a.child_labels,
            a.child_transitions,
            payloads,
            a.terminal if terminal is None else terminal,
            int32_ids=int32_ids or [],
            uuid_ids=uuid_ids or [],
            int32=int32,
        )
    )


def node_of(a, word):
    v = 0
    for ch in word:
        start = a.node_shifts[v]
        end = a.node_shifts[v + 1] if v + 1 < len(a.node_shifts) else len(a.child_transitions)
        v = next(c for c in a.child_transitions[start:end] if a.child_labels[c] == ch)
    return v


def cat_car():
    a = arrays_from_words(["cat", "car"])
    payloads = [None] * len(a.child_labels)
    payloads[node_of(a, "cat")] = (10, [7, 9], [6, 4])
    payloads[node_of(a, "car")] = (30, [9], [30])
    return a, payloads


def test_worked_example_scores_bit_for_bit():
    a, payloads = cat_car()
    s = stored(a, payloads, int32_ids=list(range(100, 110)))
    w = (1.0 - 1 / 3) * 0.05
    total = 10 * 1.0 + 30 * w
    assert s.fuzzy_match_video("cat") == [("107", 6.0 / total), ("109", (4.0 + 30 * w) / total)]
    # 'car' is the exact match now; 'cat' is one edit away.
    got = s.fuzzy_match_video("car", limit=1)
    assert got == [("109", (30 * 1.0 + 4 * w) / (30 * 1.0 + 10 * w))]


@pytest.mark.parametrize(
    "limit, expected",
    [
        (None, ["3", "5", "8", "1"]),
        (0, []),
        (1, ["3"]),
        (3, ["3", "5", "8"]),
        (4, ["3", "5", "8", "1"]),
        (99, ["3", "5", "8", "1"]),
    ],
)
def test_equal_scores_come_out_by_video_number(limit, expected):
    a = arrays_from_words(["ab"])
    payloads = [None] * 3
    # Scores 2/10 for 3, 5 and 8 (tied), 1/10 for 1; added in scrambled order.
    payloads[node_of(a, "ab")] = (10, [8, 1, 5, 3], [2, 1, 2, 2])
    s = stored(a, payloads, int32_ids=list(range(10)))
    got = s.fuzzy_match_video("ab", limit=limit)
    assert [v for v, _ in got] == expected
    assert s.fuzzy_match_video("ab", limit=limit) == got


@pytest.mark.parametrize(
    "ids, expected",
    [
        ([0, 4294967295, 2147483648, 10], ["0", "4294967295", "2147483648", "10"]),
    ],
)
def test_int32_identifiers_render_unsigned(ids, expected):
    a = arrays_from_words(["x"])
    payloads = [None, (4, [0, 1, 2, 3], [4, 3, 2, 1])]
    s = stored(a, payloads, int32_ids=ids)
    assert [v for v, _ in s.fuzzy_match_video("x")] == expected


def test_uuid_identifiers_keep_stored_byte_order_in_lower_case():
    a = arrays_from_words(["x"])
    uuids = [
        bytes(range(16)),
        bytes(range(0xF0, 0x100)),
        bytes.fromhex("ABCDEF0123456789ABCDEF0123456789"),
    ]
    payloads = [None, (3, [0, 1, 2], [3, 2, 1])]
    s = stored(a, payloads, uuid_ids=uuids)
    assert [v for v, _ in s.fuzzy_match_video("x")] == [
        "00010203-0405-0607-0809-0a0b0c0d0e0f",
        "f0f1f2f3-f4f5-f6f7-f8f9-fafbfcfdfeff",
        "abcdef01-2345-6789-abcd-ef0123456789",
    ]


@pytest.mark.parametrize("uuid", [False, True])
def test_videos_without_identifier_are_dropped_after_the_cut(uuid):
    a = arrays_from_words(["x"])
    # Video 5 is best but has no identifier; 0 and 1 have.
    payloads = [None, (10, [5, 0, 1], [5, 3, 2])]
    kw = dict(uuid_ids=[bytes(16), bytes([1] * 16)]) if uuid else dict(int32_ids=[70, 71])
    s = stored(a, payloads, **kw)
    assert len(s.fuzzy_match_video("x")) == 2
    # The cut keeps 5 and 0; 5 is dropped and 1 does not move up.
    assert len(s.fuzzy_match_video("x", limit=2)) == 1
    assert s.fuzzy_match_video("x", limit=1) == []


def test_built_index_without_videos_returns_nothing():
    a = arrays_from_words(["x"], payloads={"x": (5, [0], [5])})
    assert a.build().fuzzy_match_video("x") == []


@pytest.mark.parametrize(
    "min_score, expected",
    [
        (None, ["1"]),
        (0.0, ["1", "0"]),
        (-1.0, ["1", "0"]),
        (-math.inf, ["1", "0"]),
        (0.5, ["1"]),
        (1.0, ["1"]),
        (1.0000001, []),
        (math.nan, []),
        (1, ["1"]),
    ],
)
def test_min_score(min_score, expected):
    a = arrays_from_words(["x"])
    s = stored(a, [None, (4, [0, 1], [0, 4])], int32_ids=[0, 1])
    assert [v for v, _ in s.fuzzy_match_video("x", min_score=min_score)] == expected


def test_fallback_to_prefix_nodes_only_when_no_terminal_is_within_bound():
    a = arrays_from_words(["abcd", "xyz"])
    payloads = [None] * len(a.child_labels)
    for word, video in [("ab", 0), ("abc", 1), ("abcd", 2), ("xy", 3), ("xyz", 4)]:
        payloads[node_of(a, word)] = (1, [video], [1])
    s = stored(a, payloads, int32_ids=[0, 1, 2, 3, 4])
    # 'ab' spells a prefix node; no term is within 1 of it: the prefix nodes
    # 'ab' (exact, 0.85) and 'abc' (fuzzy, 0.5 * 0.05 * 0.85) are scored.
    w_abc = ((1.0 - 1 / 2) * 0.05) * 0.85
    total = 0.85 + w_abc
    assert s.fuzzy_match_video("ab") == [("0", 0.85 / total), ("1", w_abc / total)]
    assert s.fuzzy_match_video("ab", include_prefix_nodes=False) == []
    # 'xy': the fuzzy terminal 'xyz' exists, so the prefix node is ignored.
    assert s.fuzzy_match_video("xy") == [("4", 1.0)]
    assert [v for v, _ in s.fuzzy_match_video("xy", include_prefix_nodes=True)] == ["3", "4"]


def test_no_fallback_when_terminals_match_but_score_nothing():
    a = arrays_from_words(["ab", "abc"])
    payloads = [None] * len(a.child_labels)
    payloads[node_of(a, "a")] = (5, [0], [5])
    payloads[node_of(a, "abc")] = (0, [1], [0])
    s = stored(a, payloads, int32_ids=[0, 1])
    assert s.fuzzy_match_video("a", max_dist=2) == []
    assert s.fuzzy_match_video("a", max_dist=2, include_prefix_nodes=True) == [
        ("0", 1.0 / 0.85 * 0.85)
    ]


@pytest.mark.parametrize("query", ["", "b"])
def test_queries_that_give_every_fuzzy_node_no_weight(query):
    a = arrays_from_words(["a", "b"])
    s = stored(a, [None, (1, [0], [1]), (1, [1], [1])], int32_ids=[0, 1])
    # '' : every node is fuzzy with L = 0. 'b': 'a' is one edit of one.
    assert s.fuzzy_match_video(query) == ([("1", 1.0)] if query else [])


WORDS = st.lists(st.text(alphabet="abc", min_size=1, max_size=5), min_size=1, max_size=15)


@settings(max_examples=150)
@given(
    words=WORDS,
    query=st.text(alphabet="abcd", max_size=6),
    max_dist=st.sampled_from([0, 1, 2, 65536]),
    limit=st.sampled_from([None, 0, 1, 2, 5]),
    prefix=st.sampled_from([None, True, False]),
    min_score=st.sampled_from([None, 0.0, -1.0, 0.2, math.nan]),
    seed=st.integers(0, 2**32),
    depth_first=st.booleans(),
)
def test_ranking_equals_reference(
    words, query, max_dist, limit, prefix, min_score, seed, depth_first
):
    rng = random.Random(seed)
    a = arrays_from_words(words, rng=rng, depth_first=depth_first)
    n = len(a.child_labels)
    videos = rng.randint(1, 8)
    ids = [
        rng.choice([0, 7, 4294967295, rng.getrandbits(32)]) for _ in range(rng.randint(0, videos))
    ]
    payloads = []
    for _ in range(n):
        if rng.random() < 0.2:
            payloads.append(None)
            continue
        k = rng.randint(0, 4)
        payloads.append(
            (
                rng.randint(0, 12),
                [rng.randrange(videos) for _ in range(k)],
                [rng.randint(0, 6) for _ in range(k)],
            )
        )
    s = stored(a, payloads, int32_ids=ids)
    got = s.fuzzy_match_video(query, max_dist, limit, prefix, min_score)
    expected = reference_ranking(
        a, payloads, a.terminal, ids, query, max_dist, limit, prefix, min_score
    )
    assert got == expected


# --- Indexes that break the trie's invariants -----------------------------


def oob(length, index):
    return f"index out of bounds: the len is {length} but the index is {index}"


@pytest.mark.parametrize(
    "payloads, terminal, prefix, message",
    [
        # payloads shorter than the node count.
        ([None], [False, True], None, oob(1, 1)),
        # Fewer counts than ids: the first id without a count.
        ([None, (5, [0, 1, 2], [1])], [False, True], None, oob(1, 1)),
        # is_terminal too short for a prefix node the ranking weighs.
        ([None, (5, [0], [1])], [False], True, oob(1, 1)),
    ],
)
def test_broken_payloads_raise_panic(payloads, terminal, prefix, message):
    data = encode_index([0, 1], ["", "a"], [1], payloads, terminal, int32_ids=[1, 2, 3], int32=True)
    s = PrefixSearch.from_bytes(data)
    assert panic_message(lambda: s.fuzzy_match_video("a", include_prefix_nodes=prefix)) == message


def test_more_counts_than_ids_is_harmless():
    data = encode_index(
        [0, 1], ["", "a"], [1], [None, (5, [0], [5, 9])], [False, True], int32_ids=[42], int32=True
    )
    assert PrefixSearch.from_bytes(data).fuzzy_match_video("a") == [("42", 1.0)]


def many_videos_index(videos, seed):
    rng = random.Random(seed)
    words = sorted(
        {"".join(rng.choice("abc") for _ in range(rng.randint(1, 4))) for _ in range(40)}
    )
    a = arrays_from_words(words)
    payloads = []
    for _ in a.child_labels:
        k = rng.randint(0, 30)
        payloads.append(
            (
                rng.randint(0, 500),
                [rng.randrange(videos) for _ in range(k)],
                [rng.randint(0, 9) for _ in range(k)],
            )
        )
    return a, payloads, list(range(1000, 1000 + videos))


@pytest.mark.parametrize("videos", [20, 200, 3000])
@pytest.mark.parametrize("query, prefix", [("ab", True), ("a", None), ("", True), ("cab", False)])
def test_many_videos_rank_as_the_reference(videos, query, prefix):
    a, payloads, ids = many_videos_index(videos, videos)
    s = stored(a, payloads, int32_ids=ids)
    expected = reference_ranking(a, payloads, a.terminal, ids, query, 2, None, prefix, 0.0)
    assert s.fuzzy_match_video(query, 2, None, prefix, 0.0) == expected


@pytest.mark.parametrize("query, prefix", [("ab", True), ("a", None), ("cab", False)])
def test_unsound_index_ranks_like_the_sound_one(query, prefix):
    # One surplus terminal flag makes the index unsound without any read
    # leaving an array, so the checked reading must agree with the unchecked.
    a, payloads, ids = many_videos_index(200, 7)
    sound = stored(a, payloads, int32_ids=ids)
    unsound = stored(a, payloads, int32_ids=ids, terminal=a.terminal + [True])
    got = unsound.fuzzy_match_video(query, 2, 50, prefix, 0.0)
    assert got and got == sound.fuzzy_match_video(query, 2, 50, prefix, 0.0)
