"""Top-N propagation and the merging of payload lists, observed through the
stored form of freshly built indexes."""

import random
from collections import defaultdict

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from _quillomar import PrefixSearch
from trie_bytes import decode

MAX = 4294967295


def arrays(children, payloads, labels=None):
    """Flat arrays for a trie given as a list of child lists per node."""
    shifts, slots = [], []
    for kids in children:
        shifts.append(len(slots))
        slots.extend(kids)
    if labels is None:
        labels = ["x"] * len(children)
    return shifts, labels, payloads, slots


def propagated(children, payloads, top_n, labels=None):
    shifts, labels, payloads, slots = arrays(children, payloads, labels)
    s = PrefixSearch.from_internal_data_v2(shifts, labels, payloads, slots, [], top_n)
    idx = decode(s.to_bytes())
    return idx.totals(), idx.lists()


def p(total, pairs):
    return (total, [v for v, _ in pairs], [c for _, c in pairs])


def test_leaf_list_is_combined_and_ordered_before_the_cut():
    totals, lists = propagated([[]], [p(1, [(3, 1), (8, 9), (5, 4)])], 2)
    assert lists == [[(8, 9), (5, 4)]]


def test_node_whose_only_slot_holds_itself_is_normalised_too():
    totals, lists = propagated([[0]], [p(7, [(4, 2), (4, 6), (1, 1)])], 5)
    assert (totals, lists) == ([7], [[(4, 8), (1, 1)]])


def test_parent_combines_own_list_and_children():
    totals, lists = propagated(
        [[1, 2], [], []],
        [p(10, [(1, 2)]), p(20, [(1, 3)]), p(30, [(2, 4)])],
        5,
    )
    assert totals == [60, 20, 30]
    assert lists[0] == [(1, 5), (2, 4)]


@pytest.mark.parametrize(
    "pairs, top_n, expected",
    [
        ([(9, 5), (2, 5), (7, 5)], 5, [(2, 5), (7, 5), (9, 5)]),
        ([(9, 5), (2, 5), (7, 5)], 2, [(2, 5), (7, 5)]),
        ([(9, 5), (2, 1), (7, 5), (2, 4)], 2, [(2, 5), (7, 5)]),
        ([(1, 0)], 3, [(1, 0)]),
        ([(4, 2), (4, 6)], 3, [(4, 8)]),
        ([], 3, []),
        # Already in rank order, yet an id repeats: still combined.
        ([(4, 6), (9, 5), (4, 2)], 3, [(4, 8), (9, 5)]),
        ([(3, 5), (3, 5)], 3, [(3, 10)]),
        ([(1, 9), (2, 8), (3, 7)], 2, [(1, 9), (2, 8)]),
        ([(v, 40 - v) for v in range(30)] + [(0, 1)], 2, [(0, 41), (1, 39)]),
    ],
)
def test_ordering_and_ties(pairs, top_n, expected):
    assert propagated([[]], [p(0, pairs)], top_n)[1] == [expected]


@pytest.mark.parametrize("top_n", [2, 5])
def test_ranked_saturated_leaf_reaches_its_parent_unchanged(top_n):
    leaf = [(1, MAX), (2, MAX), (3, MAX), (4, 7)]
    totals, lists = propagated([[1], [2], []], [None, None, p(0, leaf)], top_n)
    assert lists == [leaf[:top_n]] * 3


def test_ties_ordered_the_same_whatever_the_child_order():
    kids = [p(0, [(5, 3)]), p(0, [(3, 3)]), p(0, [(4, 3)])]
    for order in ([1, 2, 3], [3, 2, 1], [2, 3, 1]):
        _, lists = propagated([order, [], [], []], [None] + kids, 2)
        assert lists[0] == [(3, 3), (4, 3)]


def test_counts_saturate_and_order_follows_true_sums():
    # Video 5 sums to 2**32 + 1 and video 3 to 2**32 - 1 + 0: both are
    # stored as MAX, but 5 comes first because its true sum is larger.
    totals, lists = propagated(
        [[1, 2], [], []],
        [p(MAX, [(3, MAX)]), p(2, [(5, MAX)]), p(5, [(5, 2), (3, 0)])],
        5,
    )
    assert lists[0] == [(5, MAX), (3, MAX)]
    assert totals == [MAX, 2, 5]


def test_saturated_count_does_not_wrap():
    _, lists = propagated([[1], []], [p(0, [(1, MAX)]), p(0, [(1, 2)])], 1)
    assert lists[0] == [(1, MAX)]


def test_top_n_zero_empties_lists_but_sums_totals():
    totals, lists = propagated(
        [[1, 2], [], []],
        [p(1, [(1, 2)]), None, p(4, [(2, 4)])],
        0,
    )
    assert totals == [5, 0, 4]
    assert lists == [[], [], []]


def test_absent_payloads_become_empty():
    totals, lists = propagated([[1, 2], [], []], [None, None, None], 4)
    assert totals == [0, 0, 0] and lists == [[], [], []]


def test_child_numbered_before_parent_contributes_supplied_payload():
    # Root 0 -> node 2 -> node 1. Node 2 is processed before node 1, so it
    # takes node 1's list as supplied (uncut, all three entries), not the
    # list node 1 ends up with.
    totals, lists = propagated(
        [[2], [], [1]],
        [None, p(7, [(3, 1), (8, 9), (5, 4)]), p(1, [(3, 10)])],
        2,
    )
    assert lists[1] == [(8, 9), (5, 4)]
    assert lists[2] == [(3, 11), (8, 9)]
    assert lists[0] == [(3, 11), (8, 9)]
    assert totals == [8, 7, 8]


@pytest.mark.parametrize("top_n", [0, 5])
def test_child_shared_across_the_numbering_gives_each_parent_its_own_view(top_n):
    # Node 2 hangs below node 1 (numbered before it: takes 2's finished
    # statistics) and below node 3 (numbered after it: takes 2's supplied
    # ones, before node 4 is folded into 2).
    totals, lists = propagated(
        [[1, 3], [2], [4], [2], []],
        [None, p(1, [(9, 1)]), p(5, [(7, 5)]), p(2, [(9, 2)]), p(4, [(8, 4)])],
        top_n,
    )
    assert totals == [17, 10, 9, 7, 4]
    expected = [
        [(7, 10), (8, 4), (9, 3)],
        [(7, 5), (8, 4), (9, 1)],
        [(7, 5), (8, 4)],
        [(7, 5), (9, 2)],
        [(8, 4)],
    ]
    assert lists == (expected if top_n else [[]] * 5)


def test_child_folded_once_per_slot_and_self_slot_skipped():
    totals, lists = propagated([[0, 1, 1], []], [p(1, [(1, 1)]), p(2, [(2, 3)])], 5)
    assert totals == [5, 2]
    assert lists[0] == [(2, 6), (1, 1)]


def test_unlabelled_children_still_propagate():
    totals, lists = propagated([[1], []], [None, p(3, [(6, 1)])], 5, labels=["", ""])
    assert totals == [3, 3] and lists[0] == [(6, 1)]


def test_many_children_are_folded_in_one_pass():
    # Ten thousand children, each with its own video: quadratic folding
    # would take far longer than the whole suite.
    n = 10_000
    children = [list(range(1, n + 1))] + [[] for _ in range(n)]
    payloads = [None] + [p(1, [(i, i % 7)]) for i in range(n)]
    totals, lists = propagated(children, payloads, 3)
    assert totals[0] == n
    assert lists[0] == [(6, 6), (13, 6), (20, 6)]


# --- Property: propagation equals a direct recursive computation. ---


def combine(lists, top_n):
    sums = defaultdict(int)
    for pairs in lists:
        for v, c in pairs:
            sums[v] += c
    ranked = sorted(sums.items(), key=lambda e: (-e[1], e[0]))
    return [(v, min(c, MAX)) for v, c in ranked[:top_n]]


def direct(children, payloads, top_n):
    """Each node's statistics computed from its subtree by recursion."""
    n = len(children)
    totals, lists = [None] * n, [None] * n
    # Children have larger numbers than parents, so a reverse sweep visits
    # every child before its parent; the recursion is spelled out per node.
    for v in reversed(range(n)):
        own = payloads[v] or (0, [], [])
        kid_lists = [lists[c] for c in children[v]]
        totals[v] = min(MAX, own[0] + sum(totals[c] for c in children[v]))
        lists[v] = combine([list(zip(own[1], own[2]))] + kid_lists, top_n)
    return totals, lists


@st.composite
def tries_parents_first(draw):
    n = draw(st.integers(1, 30))
    parent = [None] + [draw(st.integers(0, v - 1)) for v in range(1, n)]
    children = [[] for _ in range(n)]
    for v in range(1, n):
        children[parent[v]].append(v)
    for kids in children:  # any sibling order
        draw(st.randoms()).shuffle(kids)
    big = st.sampled_from([0, 1, 2, 7, MAX // 2, MAX])
    count = st.one_of(st.integers(0, 20), big)
    pair = st.tuples(st.integers(0, 12), count)
    payload = st.one_of(
        st.none(),
        st.builds(
            lambda t, ps: p(t, ps), st.one_of(st.integers(0, 50), big), st.lists(pair, max_size=6)
        ),
    )
    payloads = [draw(payload) for _ in range(n)]
    return children, payloads


@settings(max_examples=150)
@given(tries_parents_first(), st.integers(0, 8))
def test_propagation_matches_direct_computation(trie, top_n):
    children, payloads = trie
    assert propagated(children, payloads, top_n) == direct(children, payloads, top_n)


@settings(max_examples=60)
@given(tries_parents_first())
def test_root_holds_true_subtree_sums_when_nothing_is_cut(trie):
    children, payloads = trie
    sums = defaultdict(int)
    for pl in payloads:
        if pl is not None:
            for v, c in zip(pl[1], pl[2]):
                sums[v] += c
    _, lists = propagated(children, payloads, 1000)
    assert dict(lists[0]) == {v: min(c, MAX) for v, c in sums.items()}


def in_place_reference(children, payloads, top_n):
    """The bottom-up pass written out literally: nodes in descending order,
    each taking its children's statistics as they stand at that moment."""
    totals = [0 if pl is None else pl[0] for pl in payloads]
    lists = [[] if pl is None else list(zip(pl[1], pl[2])) for pl in payloads]
    for k in reversed(range(len(children))):
        kids = [c for c in children[k] if c != k]
        totals[k] = min(MAX, totals[k] + sum(totals[c] for c in kids))
        lists[k] = combine([lists[k]] + [lists[c] for c in kids], top_n)
    return totals, lists


@st.composite
def any_slot_tries(draw):
    """Tries whose slots may hold any node: children numbered before their
    parents, a node's own number, the same child twice."""
    n = draw(st.integers(1, 12))
    children = [draw(st.lists(st.integers(0, n - 1), max_size=4)) for _ in range(n)]
    count = st.one_of(st.integers(0, 9), st.just(MAX))
    pair = st.tuples(st.integers(0, 6), count)
    payload = st.one_of(
        st.none(),
        st.builds(lambda t, ps: p(t, ps), st.integers(0, MAX), st.lists(pair, max_size=5)),
    )
    return children, [draw(payload) for _ in range(n)]


@settings(max_examples=150)
@given(any_slot_tries(), st.integers(0, 5))
def test_any_numbering_matches_in_place_reference(trie, top_n):
    children, payloads = trie
    assert propagated(children, payloads, top_n) == in_place_reference(children, payloads, top_n)


# --- Merges wide enough to go through the hash map and make it grow. ---


@pytest.mark.parametrize("videos, top_n", [(40, 1000), (300, 1000), (300, 7), (5000, 50)])
@pytest.mark.parametrize("huge", [False, True])
def test_wide_merges_match_direct_computation(videos, top_n, huge):
    # A root over chains of internal nodes, each combining several children
    # whose lists together name many distinct videos, so one merger is reset
    # and reused between large and small combinations.
    rng = random.Random(videos * 31 + top_n + huge)
    n = 60
    parent = [None] + [rng.randrange(max(1, v // 3), v) if v > 3 else 0 for v in range(1, n)]
    children = [[] for _ in range(n)]
    for v in range(1, n):
        children[parent[v]].append(v)
    counts = [1, 2, 3, 50] + ([MAX, MAX // 2] if huge else [])
    payloads = []
    for _ in range(n):
        k = rng.randint(0, 40)
        pairs = [(rng.randrange(videos), rng.choice(counts)) for _ in range(k)]
        payloads.append(p(rng.randint(0, 100), pairs))
    assert propagated(children, payloads, top_n) == direct(children, payloads, top_n)
