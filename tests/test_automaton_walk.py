"""Small bounds (0 to 2) on a breadth-first index take the automaton walk,
other indexes the row walk. Both walks must answer alike: the same records
in the same order with the same distances. Each test builds the same words
twice, breadth-first (the automaton walk) and in pre-order (the row walk),
and holds both to the plain whole-row reference."""

import math
import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from reference import levenshtein, reference_matches, reference_ranking
from trie_builder import Arrays, arrays_from_words, stored_index

# Letters chosen to collide wherever the automaton walk groups code points:
# 'a', 'A', U+00E1, U+0161, U+0101, U+0181 and U+1F601 share the letter
# bucket (code point mod 32); U+0101, U+0181 and U+1F601 also share a slot
# of the query's code point hash (mod 128), as do U+0161 and U+01E1; ' ',
# '@' and U+0000 share bucket 0. U+0000 as a label hides its node.
COLLIDING = "aA\u00e1\u0161\u01e1\u0101\u0181\U0001f601b\u00e2 @"
WORD_ALPHABET = COLLIDING + "\x00"
QUERY_ALPHABET = COLLIDING + "c\u0281\x00"


def node_texts(a):
    """The path text of every node (parents come before children in both
    layouts, so one pass suffices)."""
    texts = [""] * len(a.child_labels)
    for v in range(len(a.child_labels)):
        end = a.node_shifts[v + 1] if v + 1 < len(a.node_shifts) else len(a.child_transitions)
        for s in range(a.node_shifts[v], end):
            c = a.child_transitions[s]
            texts[c] = texts[v] + a.child_labels[c]
    return texts


def is_breadth_first(a):
    return a.child_transitions == list(range(1, len(a.child_labels)))


def layouts(words, seed=None, terminal=None):
    """(fast, general) arrays of the same trie of `words`: breadth-first and
    pre-order, with the same child order (insertion order, or shuffled by
    `seed`). `terminal`, when given, decides per path text which nodes end
    a term (a leaf need not)."""
    pair = []
    for depth_first in (False, True):
        rng = None if seed is None else random.Random(seed)
        a = arrays_from_words(words, rng=rng, depth_first=depth_first)
        if terminal is not None:
            a.payloads = [
                (1, [], []) if v and terminal(t) else None for v, t in enumerate(node_texts(a))
            ]
        pair.append(a)
    assert is_breadth_first(pair[0])
    return pair


def random_terminals(seed):
    """Per path text, whether a term ends there: about half do, leaves or
    not (a leaf that ends nothing leaves its subtree without any term)."""
    rng = random.Random(seed)
    marks = {}
    return lambda text: marks.setdefault(text, rng.random() < 0.5)


def expected_terms(a, query, bound):
    return [(t, 1, d) for t, _, d in reference_matches(a, query, bound, True)]


def assert_walks_agree(fast, general, query, bound):
    """fuzzy_match on both layouts equals the reference; returns it."""
    expected = expected_terms(general, query, bound)
    assert expected_terms(fast, query, bound) == expected
    for a in (fast, general):
        # Stored as given, and built (which checks the arrays and keeps
        # their layout).
        assert stored_index(a).fuzzy_match(query, bound) == expected
        assert a.build().fuzzy_match(query, bound) == expected
    return expected


def near(word, rng, alphabet, edits):
    """`word` after `edits` random insertions, deletions or substitutions."""
    w = list(word)
    for _ in range(edits):
        i = rng.randint(0, len(w))
        op = rng.randrange(3)
        if op == 0:
            w.insert(i, rng.choice(alphabet))
        elif i < len(w):
            if op == 1:
                del w[i]
            else:
                w[i] = rng.choice(alphabet)
    return "".join(w)


@st.composite
def word_lists(draw, alphabet=COLLIDING, min_size=1, max_size=8):
    """A few stems, each with variants a few edits away and prefixes, so that
    terms share paths and many lie near one query; sometimes a letter of
    some words is U+0000, which hides that node and its subtree."""
    stems = draw(
        st.lists(
            st.text(alphabet=alphabet, min_size=min_size, max_size=max_size), min_size=1, max_size=4
        )
    )
    rng = random.Random(draw(st.integers(0, 2**32)))
    words = []
    for stem in stems:
        words.append(stem)
        for _ in range(rng.randint(0, 6)):
            w = near(stem, rng, alphabet, rng.randint(1, 3))
            if w and rng.random() < 0.3:
                w = w[: rng.randint(1, len(w))]
            words.append(w)
    words = [w for w in words if w]
    if draw(st.booleans()):
        for _ in range(rng.randint(1, 3)):
            i = rng.randrange(len(words))
            w = list(words[i])
            w[rng.randrange(len(w))] = "\x00"
            words[i] = "".join(w)
    return words


WORDS = st.one_of(
    word_lists(),
    st.lists(st.text(alphabet=WORD_ALPHABET, min_size=1, max_size=8), min_size=1, max_size=25),
    # Longer words: term lengths below a node pass 31.
    word_lists(alphabet="a\u0101b ", min_size=28, max_size=45),
)


@st.composite
def queries(draw, words):
    """Mostly a word of the index a few edits away (which keeps much of the
    walk alive), sometimes any text."""
    if draw(st.integers(0, 5)) == 0:
        return draw(st.text(alphabet=QUERY_ALPHABET, max_size=10))
    rng = random.Random(draw(st.integers(0, 2**32)))
    edits = draw(st.integers(0, 2))
    return near(rng.choice(words), rng, QUERY_ALPHABET, edits)


# Hypothesis leans towards the first choice: the widest fast bound first.
BOUNDS = st.sampled_from([2, 1, 0, 3])


@settings(max_examples=500)
@given(
    data=st.data(),
    words=WORDS,
    bound=BOUNDS,
    seed=st.integers(0, 2**32),
    some_terminal=st.booleans(),
)
def test_layouts_agree_over_colliding_letters(data, words, bound, seed, some_terminal):
    query = data.draw(queries(words))
    terminal = random_terminals(seed) if some_terminal else None
    fast, general = layouts(words, seed, terminal)
    got = assert_walks_agree(fast, general, query, bound)
    if terminal is None:
        visible = {w for w in words if "\x00" not in w}
        assert sorted((t, d) for t, _, d in got) == sorted(
            (w, levenshtein(query, w)) for w in visible if levenshtein(query, w) <= bound
        )


# --- Long terms -------------------------------------------------------------

LETTERS = "abcdefghijklmnopqrstuvwxyz0123456789\u0101\u0181\U0001f601"


@pytest.mark.parametrize(
    "words",
    [
        # Term lengths below a node reach and pass 31, where they saturate.
        ["x" * 30, "x" * 31, "x" * 32, "x" * 33],
        ["x" * 40, "y" * 31, "y" * 64],
        # A short term on the path of a much longer one: the nodes above it
        # have terms 3 and 63 labels away.
        ["abc", "abc" + "d" * 60],
        ["a", "ab" + LETTERS, LETTERS[:32], LETTERS[:33] + "x"],
        # Every letter distinct, so each missing bucket costs an edit.
        [LETTERS, LETTERS[::-1], LETTERS[5:], LETTERS[:20] + LETTERS[:20]],
    ],
)
@pytest.mark.parametrize("bound", [0, 1, 2, 3])
def test_long_terms(words, bound):
    fast, general = layouts(words)
    rng = random.Random(bound)
    found = 0
    for w in words:
        for q in [
            w,
            w[:-1],
            w[:-2],
            w + "d",
            w[1:],
            "x" + w,
            w[:-3] + "\u0181",
            w[: len(w) // 2],
            near(w, rng, LETTERS, 2),
            near(w, rng, LETTERS, 3),
        ]:
            found += len(assert_walks_agree(fast, general, q, bound))
    assert found > 0


# --- Queries at the automaton walk's capacity -------------------------------

# Positions of the query are kept as bits of 64-bit masks, shifted by the
# bound: the automaton walk takes up to 64 - bound code points; longer queries
# go to the row walk.
BASES = [
    "".join(random.Random(1).choice("ab\u00e1\u0101\u0181\U0001f601 ") for _ in range(72)),
    "a" * 72,  # one letter whose mask has every bit set
]


@pytest.mark.parametrize("base", BASES, ids=["mixed", "one-letter"])
@pytest.mark.parametrize("bound", [0, 1, 2])
@pytest.mark.parametrize("length", range(60, 67))
def test_query_lengths_around_capacity(base, bound, length):
    words = [base[:m] for m in range(56, 72)]
    rng = random.Random(length * 3 + bound)
    words += [near(base[:length], rng, base[:8], rng.randint(1, 3)) for _ in range(6)]
    fast, general = layouts(words)
    query = base[:length]
    edited = [
        query[1:] + "b",
        "b" + query[:-1],
        query[:-1] + "\u0181",
        query[:30] + query[31:],
        query[:40] + "\U0001f601" + query[40:],
        near(query, rng, base[:8], 2),
    ]
    assert assert_walks_agree(fast, general, query, bound)
    for q in edited:
        assert_walks_agree(fast, general, q, bound)


# --- limit ------------------------------------------------------------------


@settings(max_examples=300)
@given(data=st.data(), words=WORDS, bound=st.sampled_from([2, 1]), seed=st.integers(0, 2**32))
def test_limit_keeps_a_prefix_of_the_walk(data, words, bound, seed):
    query = data.draw(queries(words))
    fast, general = layouts(words, seed)
    whole = expected_terms(general, query, bound)
    for a in (fast, general):
        s = stored_index(a)
        assert s.fuzzy_match(query, bound) == whole
        for limit in range(1, len(whole) + 2):
            assert s.fuzzy_match(query, bound, limit) == whole[:limit]
        assert s.fuzzy_match(query, bound, 0) == []


# --- Node matching (fuzzy_match_video) ---------------------------------------


def ranked_nodes(fast, general, query, bound, prefix):
    """fuzzy_match_video on both layouts, each node carrying a video of its
    own (numbered by its path text), so the ranking shows which nodes were
    matched and how far; both equal the reference ranking and each other."""
    texts = sorted(set(node_texts(fast)))
    rank = {t: i for i, t in enumerate(texts)}
    ids = list(range(len(texts)))
    results = []
    for a in (fast, general):
        payloads = [(1, [rank[t]], [1]) if v else None for v, t in enumerate(node_texts(a))]
        got = stored_index(a, payloads, int32_ids=ids).fuzzy_match_video(
            query, bound, None, prefix, -math.inf
        )
        assert got == reference_ranking(
            a, payloads, a.terminal, ids, query, bound, None, prefix, -math.inf
        )
        results.append(got)
    assert results[0] == results[1]
    return [(texts[int(v)], score) for v, score in results[0]]


@settings(max_examples=300)
@given(
    data=st.data(),
    words=WORDS,
    bound=BOUNDS,
    prefix=st.sampled_from([None, True, False]),
    seed=st.integers(0, 2**32),
    some_terminal=st.booleans(),
)
def test_node_matching_agrees_across_layouts(data, words, bound, prefix, seed, some_terminal):
    query = data.draw(queries(words))
    terminal = random_terminals(seed) if some_terminal else None
    fast, general = layouts(words, seed, terminal)
    ranked_nodes(fast, general, query, bound, prefix)


def test_node_matching_records_prefix_nodes_on_long_paths():
    # Node matching keeps prefix nodes, so the length bounds that drop
    # subtrees for terms must not drop them here.
    word = "abc" + "d" * 60
    fast, general = layouts([word, "abx"])
    for query, bound in [
        ("ab", 0),
        ("abcd", 1),
        ("abcdd", 2),
        ("abdd", 2),
        (word[:40], 2),
        (word[:62], 1),
    ]:
        assert ranked_nodes(fast, general, query, bound, True), (query, bound)


# --- Hidden nodes ------------------------------------------------------------


@pytest.mark.parametrize(
    "words, query, bound, expected",
    [
        # A hidden child between visible siblings: later siblings are still
        # walked, and nothing in the hidden subtree is recorded.
        (["a", "\x00ab", "ab", "b"], "ab", 2, [("a", 1, 1), ("ab", 1, 0), ("b", 1, 1)]),
        # A hidden, terminal child of a term within the bound.
        (["a", "a\x00", "a\x00b"], "a", 2, [("a", 1, 0)]),
        # The only exact match lies below a hidden node.
        (["\x00abc", "abd", "xbc"], "abc", 1, [("abd", 1, 1), ("xbc", 1, 1)]),
        (["\x00abc", "abd", "xbc"], "abc", 0, []),
        # A hidden node's subtree holds the only letters the query needs.
        (["q", "q\x00" + "z" * 40], "q" + "z" * 40, 2, []),
    ],
)
def test_hidden_nodes_on_the_automaton_walk(words, query, bound, expected):
    fast, general = layouts(words)
    for a in (fast, general):
        assert stored_index(a).fuzzy_match(query, bound) == expected
        assert expected_terms(a, query, bound) == expected
    # Node matching: no hidden node, nor anything under one.
    got = ranked_nodes(fast, general, query, bound, True)
    assert all("\x00" not in text for text, _ in got)


# --- Stored shapes that are not plain tries ----------------------------------


def arrays(node_shifts, labels, transitions, terminal):
    a = Arrays()
    a.node_shifts, a.child_labels = list(node_shifts), list(labels)
    a.child_transitions = list(transitions)
    a.payloads = [(1, [], []) if t else None for t in terminal]
    return a


@pytest.mark.parametrize(
    "a",
    [
        # Node 3 is a child of the root and of node 2 (node 1's range runs
        # backwards, so it is empty, and node 2's overlaps the root's).
        arrays(
            [0, 3, 2, 5, 5, 5],
            ["", "a", "b", "c", "d", "e"],
            [1, 2, 3, 4, 5],
            [False, True, False, True, True, True],
        ),
        # Equal sibling labels, and a leaf that ends no term.
        arrays(
            [0, 3, 4, 4, 5, 5],
            ["", "c", "c", "x", "d", "e"],
            [1, 2, 3, 4, 5],
            [False, True, True, False, True, False],
        ),
    ],
    ids=["shared-child", "equal-siblings"],
)
@pytest.mark.parametrize("bound", [0, 1, 2])
def test_stored_graphs_in_slot_order(a, bound):
    assert is_breadth_first(a)
    s = stored_index(a)
    for query in ["", "c", "bc", "bd", "cd", "cxd", "ce", "x"]:
        assert s.fuzzy_match(query, bound) == expected_terms(a, query, bound)
        for prefix in (None, True):
            payloads = [(1, [v], [1]) for v in range(len(a.child_labels))]
            ids = list(range(len(a.child_labels)))
            got = stored_index(a, payloads, int32_ids=ids).fuzzy_match_video(
                query, bound, None, prefix, -math.inf
            )
            assert got == reference_ranking(
                a, payloads, a.terminal, ids, query, bound, None, prefix, -math.inf
            )
