"""Term searches at bounds 1 and 2 with four or more code points, on a
breadth-first tree, read the query from both ends (a walk over the reversed
terms joins the walk from the root). They must answer exactly as the walk
from the root does: the same terms, distances and order, the same limit
cuts, the same rankings. Each test holds a breadth-first tree (the two-way
walk) to the same tree numbered in pre-order (the walk from the root), and
both to a plain recursive reference and to brute-force Levenshtein."""

import copy
import math
import random
import uuid as uuid_module

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from _quillomar import PrefixSearch
from reference import levenshtein, reference_matches
from test_automaton_walk import near
from test_ranking import reference_ranking, stored
from trie_builder import Arrays, stored_index

# Few letters, so that terms share long prefixes and suffixes; an astral
# letter (one position, whatever its UTF-16 or UTF-8 width); U+0000 hides a
# node and its subtree.
LETTERS = "abc\u0101\U0001f601"
QUERY_LETTERS = LETTERS + "d"


# --- Trees, in both numberings ----------------------------------------------


def tree_of(words):
    """Nested [label, terminal, children] from the root, children in first
    insertion order."""
    root = ["", False, []]
    for w in words:
        v = root
        for ch in w:
            nxt = next((c for c in v[2] if c[0] == ch), None)
            if nxt is None:
                nxt = [ch, False, []]
                v[2].append(nxt)
            v = nxt
        if v is not root:
            v[1] = True
    return root


def arrays_of(root, depth_first):
    """Index arrays of a nested tree: breadth-first (child slot s holds node
    s + 1) or pre-order."""
    if depth_first:
        order, todo = [], [root]
        while todo:
            v = todo.pop()
            order.append(v)
            todo.extend(reversed(v[2]))
    else:
        order = [root]
        for v in order:
            order.extend(v[2])
    number = {id(v): i for i, v in enumerate(order)}
    a = Arrays()
    for v in order:
        a.node_shifts.append(len(a.child_transitions))
        a.child_labels.append(v[0])
        a.payloads.append((1, [], []) if v[1] else None)
        a.child_transitions.extend(number[id(c)] for c in v[2])
    return a


def pair(root):
    two_way = arrays_of(root, depth_first=False)
    from_root = arrays_of(root, depth_first=True)
    assert two_way.child_transitions == list(range(1, len(two_way.child_labels)))
    return two_way, from_root


def expected_terms(a, query, bound):
    return [(t, 1, d) for t, _, d in reference_matches(a, query, bound, True)]


def visible_terms(root):
    out, todo = [], [(root, "")]
    while todo:
        v, text = todo.pop()
        for c in v[2]:
            if c[0] != "\x00":
                if c[1]:
                    out.append(text + c[0])
                todo.append((c, text + c[0]))
    return out


def assert_same_answers(two_way, from_root, root, query, bound):
    """fuzzy_match on both numberings, stored and built, equals the
    reference; the set equals brute force over the visible terms. Returns
    the matches."""
    expected = expected_terms(from_root, query, bound)
    assert expected_terms(two_way, query, bound) == expected
    assert sorted((t, d) for t, _, d in expected) == sorted(
        (w, levenshtein(query, w)) for w in visible_terms(root) if levenshtein(query, w) <= bound
    )
    for a in (two_way, from_root):
        assert stored_index(a).fuzzy_match(query, bound) == expected
    if not any("\x00" in w for w in visible_terms(root)):
        for a in (two_way, from_root):
            # Built from arrays (validated, layout kept): a second path in.
            built = PrefixSearch.from_internal_data_v2(*a.args())
            assert built.fuzzy_match(query, bound) == expected
    return expected


# --- Word sets with shared prefixes and suffixes -----------------------------


@st.composite
def word_sets(draw):
    """Stems with prefixes, suffixes and near variants, so that many terms
    share both ends with each other and with the query; now and then a
    subtree duplicated under an equal sibling label (two nodes spelling
    the same terms) or a label turned into U+0000."""
    stems = draw(
        st.lists(st.text(alphabet=LETTERS, min_size=2, max_size=9), min_size=1, max_size=4)
    )
    rng = random.Random(draw(st.integers(0, 2**32)))
    words = []
    for stem in stems:
        words.append(stem)
        for _ in range(rng.randint(0, 8)):
            w = near(stem, rng, LETTERS, rng.randint(1, 2))
            kind = rng.randrange(4)
            if kind == 0:
                w = w[: rng.randint(1, len(w) or 1)]  # a prefix of another term
            elif kind == 1:
                w = rng.choice(LETTERS) * rng.randint(1, 2) + w  # same suffix
            elif kind == 2:
                w = w + rng.choice(stems)  # same prefix, another's suffix
            if w:
                words.append(w)
    root = tree_of(words)
    nodes, todo = [], [root]
    while todo:
        v = todo.pop()
        nodes.append(v)
        todo.extend(v[2])
    if draw(st.booleans()):
        # Children in code point order, as the package's builders write
        # them: walk order is then the order of the terms' texts.
        for v in nodes:
            v[2].sort(key=lambda c: c[0])
    if draw(st.booleans()):
        for _ in range(rng.randint(1, 3)):
            v = rng.choice(nodes)
            if v[2]:
                c = rng.choice(v[2])
                v[2].insert(rng.randint(0, len(v[2])), copy.deepcopy(c))
    if draw(st.integers(0, 4)) == 0:
        rng.choice(nodes[1:] or nodes)[0] = "\x00" if len(nodes) > 1 else ""
    return root


@st.composite
def queries_for(draw, root):
    """Mostly a term a few edits away (at least four code points, where the
    two-way walk applies), sometimes short or any text."""
    terms = visible_terms(root)
    choice = draw(st.integers(0, 7))
    if choice == 0 or not terms:
        return draw(st.text(alphabet=QUERY_LETTERS, max_size=12))
    rng = random.Random(draw(st.integers(0, 2**32)))
    q = near(rng.choice(terms), rng, QUERY_LETTERS, draw(st.integers(0, 3)))
    if choice == 1:
        return q[: draw(st.integers(0, 3))]
    while len(q) < 4:
        q += rng.choice(QUERY_LETTERS)
    return q


@settings(max_examples=600)
@given(data=st.data(), root=word_sets(), bound=st.sampled_from([2, 1]))
def test_two_way_walk_answers_as_the_walk_from_the_root(data, root, bound):
    query = data.draw(queries_for(root))
    two_way, from_root = pair(root)
    assert_same_answers(two_way, from_root, root, query, bound)


@settings(max_examples=300)
@given(data=st.data(), root=word_sets(), bound=st.sampled_from([2, 1]))
def test_limit_cuts_the_walk_order(data, root, bound):
    query = data.draw(queries_for(root))
    two_way, from_root = pair(root)
    whole = expected_terms(from_root, query, bound)
    s = stored_index(two_way)
    for limit in range(1, len(whole) + 2):
        assert s.fuzzy_match(query, bound, limit) == whole[:limit]
    assert s.fuzzy_match(query, bound, 0) == []


# --- Rankings: the terminal-only pass of fuzzy_match_video ------------------


def rankings(two_way, from_root, query, bound, prefix, uuid):
    """fuzzy_match_video on both numberings, every node carrying a video of
    its own (numbered by path text, so both trees name the same videos) with
    counts that make every score distinct enough to show the order of the
    additions; identifiers as UUIDs or int32."""
    results = []
    for a in (two_way, from_root):
        texts = node_texts(a)
        names = sorted(set(texts))
        rank = {t: i for i, t in enumerate(names)}
        payloads = [
            (3 + rank[t] % 7, [rank[t], rank[t] % 3], [1 + len(t), 2]) if v else None
            for v, t in enumerate(texts)
        ]
        if uuid:
            raw = [i.to_bytes(16, "big") for i in range(len(names))]
            s = stored(a, payloads, uuid_ids=raw)
            ids = [str(uuid_module.UUID(bytes=b)) for b in raw]
        else:
            ids = list(range(len(names)))
            s = stored(a, payloads, int32_ids=ids)
        got = s.fuzzy_match_video(query, bound, None, prefix, -math.inf)
        assert got == reference_ranking(
            a, payloads, a.terminal, ids, query, bound, None, prefix, -math.inf
        )
        results.append(got)
    assert results[0] == results[1]


def node_texts(a):
    texts = [""] * len(a.child_labels)
    todo = [0]
    while todo:
        v = todo.pop()
        end = a.node_shifts[v + 1] if v + 1 < len(a.node_shifts) else len(a.child_transitions)
        for s in range(a.node_shifts[v], end):
            c = a.child_transitions[s]
            texts[c] = texts[v] + a.child_labels[c]
            todo.append(c)
    return texts


@settings(max_examples=200)
@given(
    data=st.data(),
    root=word_sets(),
    bound=st.sampled_from([2, 1]),
    prefix=st.sampled_from([None, False]),
    uuid=st.booleans(),
)
def test_rankings_agree(data, root, bound, prefix, uuid):
    query = data.draw(queries_for(root))
    two_way, from_root = pair(root)
    rankings(two_way, from_root, query, bound, prefix, uuid)


# --- Chosen shapes -----------------------------------------------------------


def duplicated(words, label):
    """The tree of `words` with the root's child `label` (and its subtree)
    present twice: two nodes spell every term below it."""
    root = tree_of(words)
    c = next(c for c in root[2] if c[0] == label)
    root[2].append(copy.deepcopy(c))
    return root


def duplicated_below(words, first, second):
    """The tree of `words` with the node spelling `first + second` present
    twice under `first`: two depth-two nodes spell the same pair."""
    root = tree_of(words)
    v = next(c for c in root[2] if c[0] == first)
    c = next(c for c in v[2] if c[0] == second)
    v[2].insert(0, copy.deepcopy(c))
    return root


CASES = [
    # Query lengths around the two-way walk's threshold (four code points)
    # and the split of odd lengths.
    (
        tree_of(["abcd", "abc", "abd", "bcd", "abcde", "xbcd", "abxd"]),
        ["", "a", "ab", "abc", "abcd", "abcde", "bcda", "abdc", "acbd"],
    ),
    # Terms that are prefixes of each other, matched at every length.
    (
        tree_of(["a" * m for m in range(1, 12)]),
        ["a" * m for m in range(0, 14)] + ["aaaabaaaa", "baaaa", "aaaab"],
    ),
    # Shared suffixes: many terms end like the query.
    (
        tree_of(["xabcd", "yabcd", "abcd", "zzabcd", "abcdd", "bcd", "abce"]),
        ["abcd", "xabc", "zabcd", "aabcd", "abcdx", "bbcd"],
    ),
    # Astral letters count as one position.
    (
        tree_of(
            [
                "\U0001f601\U0001f601ab",
                "\U0001f601ab",
                "ab\U0001f601\U0001f601",
                "a\U0001f601b\U0001f601",
            ]
        ),
        [
            "\U0001f601\U0001f601ab",
            "\U0001f601xab",
            "ab\U0001f601",
            "abab",
            "\U0001f601\U0001f601\U0001f601\U0001f601",
        ],
    ),
    # Two nodes spelling the same terms (equal sibling labels): both are
    # recorded, each in its place in walk order.
    (duplicated(["abcd", "abce", "bcd", "abcdx"], "a"), ["abcd", "abc", "abcdx", "xbcd", "abde"]),
    # The only term near the query sits below a hidden node.
    (duplicated(["\x00abcd", "abce", "qabcd"], "\x00"), ["abcd", "qabcd", "abc"]),
    # Two nodes at depth two spell the same pair, so no table of depth-two
    # nodes can name one node per pair: exact fronts start from the root.
    (
        duplicated_below(["abcd", "abxd", "zabcd", "abcdx", "bcd"], "a", "b"),
        ["abcd", "abxd", "abd", "zabcd", "xbcd"],
    ),
    # Hidden nodes at depth two, and U+0000 in the query's front and back.
    (
        tree_of(["a\x00cd", "a\x00cde", "abcd", "xa\x00cd", "ab\x00d"]),
        ["abcd", "a\x00cd", "ab\x00d", "\x00bcd", "abc\x00", "xabcd"],
    ),
]


@pytest.mark.parametrize(
    "root, queries",
    CASES,
    ids=[
        "lengths",
        "prefixes",
        "suffixes",
        "astral",
        "equal-siblings",
        "hidden",
        "equal-pairs",
        "hidden-depth-two",
    ],
)
@pytest.mark.parametrize("bound", [1, 2])
def test_chosen_shapes(root, queries, bound):
    two_way, from_root = pair(root)
    found = 0
    for q in queries:
        whole = assert_same_answers(two_way, from_root, root, q, bound)
        found += len(whole)
        s = stored_index(two_way)
        for limit in (1, 2, len(whole) // 2 + 1):
            assert s.fuzzy_match(q, bound, limit) == whole[:limit]
        for prefix in (None, False):
            rankings(two_way, from_root, q, bound, prefix, uuid=bound == 2)
    assert found > 0


def test_a_shared_child_is_recorded_as_the_walk_from_the_root_meets_it():
    # Breadth-first slots whose ranges overlap: node 3 is a child of the
    # root and of node 2, so the walk from the root meets it twice. No
    # reversed trie can stand for that; the answers stay those of the walk.
    a = Arrays()
    a.node_shifts = [0, 3, 2, 6, 6, 6, 6]
    a.child_labels = ["", "a", "b", "c", "d", "c", "d"]
    a.child_transitions = [1, 2, 3, 4, 5, 6]
    a.payloads = [None, (1, [], []), None, (1, [], []), None, (1, [], []), (1, [], [])]
    s = stored_index(a)
    for q in ["bcdd", "abcd", "cccc", "bdcd"]:
        for bound in (1, 2):
            assert s.fuzzy_match(q, bound) == expected_terms(a, q, bound)


@pytest.mark.parametrize("bound", [1, 2])
def test_many_indexes_and_threads_of_first_use(bound):
    # The reversed trie is derived on first need; calls on fresh indexes
    # from several threads must all see it whole.
    import threading

    words = ["".join(random.Random(i).choice("abcd") for _ in range(6)) for i in range(300)]
    root = tree_of(words)
    two_way, from_root = pair(root)
    expected = {
        q: expected_terms(from_root, q, bound) for q in ["abcdab", "dcba", "aaaa", "bcdabc"]
    }
    for _ in range(5):
        s = stored_index(two_way)
        errors = []

        def run():
            try:
                for q, e in expected.items():
                    assert s.fuzzy_match(q, bound) == e
            except AssertionError as exc:  # pragma: no cover
                errors.append(exc)

        threads = [threading.Thread(target=run) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert not errors
