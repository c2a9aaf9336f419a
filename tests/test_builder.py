"""IndexBuilder: trie layout, payloads, identifiers, validation."""

import random
import subprocess
import sys
import uuid

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import reference_build as model
from quillomar import DEFAULT_TOP_N, IndexBuilder, PrefixSearch, build_index
from quillomar import builder as builder_module
from reference import levenshtein

U32_MAX = 4294967295


def children(arrays, node):
    shifts = arrays.node_shifts
    end = shifts[node + 1] if node + 1 < len(shifts) else len(arrays.child_transitions)
    return [arrays.child_transitions[s] for s in range(shifts[node], end)]


def native_and_model_arrays(terms):
    """The layout of a word list: by the build engine, and by the model."""
    builder = IndexBuilder()
    builder.set_totals(dict.fromkeys(terms, 1))
    log = model.Log()
    log.set_totals(dict.fromkeys(terms, 1))
    return tuple(builder.arrays()), model.arrays(log, DEFAULT_TOP_N)


def check_layout(arrays, terms):
    """The invariants the extension expects but does not check."""
    n = len(arrays.child_labels)
    assert len(arrays.node_shifts) == len(arrays.payloads) == n
    assert arrays.child_labels[0] == ""
    seen_as_child = [0] * n
    spelled = {0: ""}
    order = [0]
    for node in order:  # breadth-first over the slot structure
        labels = []
        for child in children(arrays, node):
            assert child > node, "children are numbered after their parents"
            seen_as_child[child] += 1
            label = arrays.child_labels[child]
            assert len(label) == 1 and label != "\x00"
            labels.append(label)
            spelled[child] = spelled[node] + label
            order.append(child)
        assert labels == sorted(set(labels)), "siblings distinct and ordered"
    assert seen_as_child == [0] + [1] * (n - 1), "every node in one slot"
    assert order == list(range(n)), "numbering is breadth-first"
    ending = {spelled[v] for v in range(n) if arrays.payloads[v] is not None}
    assert ending == set(terms)
    # No dead branches: every leaf ends a term.
    for v in range(n):
        if not children(arrays, v) and v:
            assert arrays.payloads[v] is not None


term_lists = st.lists(
    st.text(alphabet="ab\u00e9\u4e2d\U0001f600 ", min_size=1, max_size=6),
    max_size=40,
)


@settings(max_examples=150)
@given(term_lists)
def test_layouts_agree_and_keep_invariants(terms):
    builder = IndexBuilder()
    for i, term in enumerate(terms):
        builder.add(term, i, 1)
    check_layout(builder.arrays(), terms)


def test_layout_of_terms_sharing_prefixes():
    native, modelled = native_and_model_arrays(["a", "ab", "b"])
    assert native == modelled
    #   0 ─a→ 1 ─b→ 3
    #   └─b→ 2
    shifts, labels, payloads = native[:3]
    assert labels == ["", "a", "b", "b"]
    assert shifts == [0, 2, 3, 3]
    assert [v for v, p in enumerate(payloads) if p] == [1, 2, 3]


def test_arrays_equal_hand_built_and_index_bytes_match():
    builder = IndexBuilder()
    builder.add("ab", 70, 2)
    builder.add("a", 50, 3)
    builder.add("ab", 60, 5)
    builder.add("ab", 70, 4)  # same (term, video): adds up to 6
    builder.add("b", 60, 1)
    builder.set_total("b", 10)
    arrays = builder.arrays(top_n=7)
    # Videos are numbered in order of first appearance: 70 -> 0, 50 -> 1, 60 -> 2.
    expected = (
        [0, 2, 3, 3],
        ["", "a", "b", "b"],
        [None, (3, [1], [3]), (10, [2], [1]), (11, [0, 2], [6, 5])],
        [1, 2, 3],
        [(70).to_bytes(4, "little"), (50).to_bytes(4, "little"), (60).to_bytes(4, "little")],
        7,
    )
    assert tuple(arrays) == expected
    by_hand = PrefixSearch.from_internal_data_v2(*expected)
    assert builder.build(top_n=7).to_bytes() == by_hand.to_bytes()


def test_empty_builder_gives_a_root_only_index():
    index = IndexBuilder().build()
    assert index.fuzzy_match("", 3) == []
    assert index.fuzzy_match_video("anything") == []


@pytest.mark.parametrize("seed", range(5))
def test_built_index_finds_exactly_the_terms_within_the_bound(seed):
    rng = random.Random(seed)
    terms = sorted(
        {"".join(rng.choice("abcd") for _ in range(rng.randint(1, 6))) for _ in range(120)}
    )
    index = build_index([(t, i, 1) for i, t in enumerate(terms)])
    for _ in range(30):
        query = "".join(rng.choice("abcde") for _ in range(rng.randint(0, 6)))
        for bound in (0, 1, 2):
            want = sorted(
                (t, levenshtein(query, t)) for t in terms if levenshtein(query, t) <= bound
            )
            got = sorted((t, d) for t, _, d in index.fuzzy_match(query, bound))
            assert got == want


def test_term_scores_are_its_counts_over_its_total():
    builder = IndexBuilder()
    builder.add("cat", 1, 6)
    builder.add("cat", 2, 3)
    builder.add("cat", 3, 1)
    builder.add("dog", 4, 100)
    got = builder.build().fuzzy_match_video("cat", max_dist=0)
    assert got == [("1", pytest.approx(0.6)), ("2", pytest.approx(0.3)), ("3", pytest.approx(0.1))]
    builder.set_total("cat", 20)  # searches that led to no listed video
    got = builder.build().fuzzy_match_video("cat", max_dist=0)
    assert [score for _, score in got] == pytest.approx([0.3, 0.15, 0.05])


def test_counts_and_totals_saturate_but_order_by_count():
    builder = IndexBuilder()
    builder.add("x", 1, U32_MAX)
    builder.add("x", 1, 5)  # 4294967300 saturates
    builder.add("x", 2, 7)
    builder.add("x", 3, 9)
    total, ids, counts = builder.arrays().payloads[1]
    assert (total, ids, counts) == (U32_MAX, [0, 2, 1], [U32_MAX, 9, 7])


def test_top_n_cuts_every_node():
    builder = IndexBuilder()
    for video in range(10):
        builder.add("ab", video, 10 + video)
    index = builder.build(top_n=3)
    got = index.fuzzy_match_video("ab", max_dist=0, min_score=0)
    assert [v for v, _ in got] == ["9", "8", "7"]
    # The prefix node 'a' carries the same cut list.
    got = index.fuzzy_match_video("a", max_dist=0, include_prefix_nodes=True, min_score=0)
    assert [v for v, _ in got] == ["9", "8", "7"]


def test_uuid_ids_as_objects_and_text_are_one_video():
    u = uuid.UUID("00010203-0405-0607-0809-0a0b0c0d0e0f")
    builder = IndexBuilder()
    builder.add("cat", u, 2)
    builder.add("cat", str(u).upper(), 3)
    builder.add("cat", "{%s}" % u.hex, 1)
    assert builder.video_count == 1 and builder.id_mode == "uuid"
    assert builder.arrays().video_index == [u.bytes]
    assert builder.build().fuzzy_match_video("cat", 0) == [(str(u), 1.0)]


def test_int_ids_render_unsigned():
    index = build_index([("cat", U32_MAX, 1), ("cat", 0, 1)])
    assert sorted(v for v, _ in index.fuzzy_match_video("cat", 0)) == ["0", "4294967295"]


RECORD_ERRORS = [
    # (records, exception, text in the message)
    ([("", 1, 1)], ValueError, "term is empty"),
    ([("a\x00b", 1, 1)], ValueError, "U+0000"),
    ([("a\ud800", 1, 1)], ValueError, "surrogate"),
    ([("cat", 1, -1)], ValueError, "count -1 is negative"),
    ([("cat", 1, 2**32)], ValueError, "count 4294967296 is above 4294967295"),
    ([("cat", 1, 1.5)], TypeError, "count must be an int"),
    ([("cat", 1, True)], TypeError, "count must be an int"),
    ([(7, 1, 1)], TypeError, "term must be a str"),
    ([("cat", -1, 1)], ValueError, "outside 0..4294967295"),
    ([("cat", 2**32, 1)], ValueError, "outside 0..4294967295"),
    ([("cat", 1.0, 1)], ValueError, "not float"),
    ([("cat", True, 1)], ValueError, "not bool"),
    ([("cat", "not-a-uuid", 1)], ValueError, "is not a UUID"),
    ([("cat", "123", 1)], ValueError, "int('123')"),
    ([("dog", uuid.uuid4(), 1)], ValueError, "earlier records used int ids"),
    ([("cat", 1)], ValueError, "expected a (term, video, count) tuple"),
]


@pytest.mark.parametrize("records, error, text", RECORD_ERRORS)
def test_bad_records_are_refused_and_change_nothing(records, error, text):
    builder = IndexBuilder()
    builder.add("keep", 9, 4)
    before = builder.arrays()
    with pytest.raises(error) as info:
        builder.add_records([("ok", 9, 1)] + records)
    assert text in str(info.value)
    bad = records[-1]
    assert repr(bad) in str(info.value), "the message names the record"
    assert builder.arrays() == before, "add_records adds all or nothing"
    if len(bad) == 3:
        with pytest.raises(error):
            builder.add(*bad)
        assert builder.arrays() == before


def test_ids_never_mix():
    builder = IndexBuilder()
    builder.add("cat", uuid.uuid4(), 1)
    with pytest.raises(ValueError, match="earlier records used UUIDs"):
        builder.add("dog", 5, 1)
    with pytest.raises(ValueError, match="earlier records used UUIDs"):
        builder.add_records([("dog", str(uuid.uuid4()), 1), ("eel", 5, 1)])
    assert len(builder) == 1
    # Within one batch, the first record decides for the rest.
    with pytest.raises(ValueError, match="earlier records used int ids"):
        IndexBuilder().add_records([("a", 1, 1), ("b", uuid.uuid4(), 1)])


def test_set_total_validates_and_adds_a_term_without_videos():
    builder = IndexBuilder()
    with pytest.raises(ValueError, match="total -1 is negative"):
        builder.set_total("cat", -1)
    assert len(builder) == 0
    builder.set_total("cat", 5)
    builder.set_total("cat", 8)  # replaces
    assert builder.arrays().payloads[-1] == (8, [], [])


@pytest.mark.parametrize(
    "top_n, error", [(-1, ValueError), (2**32, ValueError), (1.0, TypeError), (None, TypeError)]
)
def test_top_n_is_checked(top_n, error):
    with pytest.raises(error):
        IndexBuilder().build(top_n)


def test_numpy_is_optional():
    # The package imports and builds the same index with numpy unavailable.
    code = (
        "import sys; sys.modules['numpy'] = None\n"
        "import quillomar\n"
        "from quillomar import builder\n"
        "index = quillomar.build_index([('cat', 1, 2), ('car', 2, 3), ('c', 1, 1)])\n"
        "sys.stdout.buffer.write(index.to_bytes())\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, check=True)
    with_numpy = build_index([("cat", 1, 2), ("car", 2, 3), ("c", 1, 1)])
    assert out.stdout == with_numpy.to_bytes()


records_strategy = st.lists(
    st.tuples(
        st.text(alphabet="ab\u00e9 ", min_size=1, max_size=4),
        st.integers(0, 5) | st.sampled_from([U32_MAX]),
        st.integers(0, 3) | st.sampled_from([U32_MAX]),
    ),
    max_size=30,
)


@settings(max_examples=100)
@given(records_strategy)
def test_batch_and_single_adds_agree(records):
    one_by_one = IndexBuilder()
    for record in records:
        one_by_one.add(*record)
    batch = IndexBuilder()
    batch.add_records(iter(records))
    assert batch.arrays() == one_by_one.arrays()


# -- setting many totals at once ----------------------------------------------

total_entries = st.lists(
    st.tuples(
        st.text(alphabet="ab\u00e9\U0001f600", min_size=1, max_size=4),
        st.integers(0, 3) | st.sampled_from([U32_MAX]),
    ),
    max_size=30,
)


@settings(max_examples=80)
@given(total_entries, records_strategy, st.booleans())
def test_set_totals_equals_one_set_total_per_entry(entries, records, as_mapping):
    # Records before and after, so that terms move between "only a total"
    # and "has videos" in both directions.
    half = len(records) // 2
    one_by_one = IndexBuilder()
    one_by_one.add_records(records[:half])
    for term, total in entries:
        one_by_one.set_total(term, total)
    one_by_one.add_records(records[half:])

    bulk = IndexBuilder()
    bulk.add_records(records[:half])
    bulk.set_totals(dict(entries) if as_mapping else iter(entries))
    bulk.add_records(records[half:])

    assert len(bulk) == len(one_by_one) == len({t for t, _ in entries} | {r[0] for r in records})
    assert bulk.arrays(3) == one_by_one.arrays(3)


def test_set_totals_in_any_order_and_with_int_like_totals():
    import enum

    class Level(enum.IntEnum):
        HIGH = 7

    words = ["b", "ab", "a", "abc", "\u00e9t\u00e9"]
    totals = {w: len(w) * 10 + i for i, w in enumerate(words)}
    in_order = IndexBuilder()
    for word in sorted(words):
        in_order.set_total(word, totals[word])
    shuffled = IndexBuilder()
    shuffled.set_totals(totals)  # insertion order is not term order
    assert shuffled.arrays() == in_order.arrays()
    converted = IndexBuilder()
    converted.set_totals([(w, Level.HIGH) for w in words])
    assert {type(p[0]) for p in converted.arrays().payloads if p} == {int}
    # Later pairs win, as with repeated set_total calls.
    builder = IndexBuilder()
    builder.set_totals([("a", 1), ("a", 2)])
    assert builder.arrays().payloads[1] == (2, [], [])


class Pair(tuple):
    pass


SET_TOTALS_ERRORS = [
    # (entries, exception, text in the message, the entry it names)
    ([("", 1)], ValueError, "term is empty", ("", 1)),
    ([("a\x00b", 1)], ValueError, "U+0000", ("a\x00b", 1)),
    ([("a\ud800", 1)], ValueError, "surrogate", ("a\ud800", 1)),
    ([("cat", -1)], ValueError, "total -1 is negative", ("cat", -1)),
    ([("cat", 2**32)], ValueError, "above 4294967295", ("cat", 2**32)),
    ([("cat", True)], TypeError, "total must be an int, not bool", ("cat", True)),
    ([("cat", 1.0)], TypeError, "total must be an int, not float", ("cat", 1.0)),
    ([(7, 1)], TypeError, "term must be a str", (7, 1)),
    ([("cat", 1, 2)], ValueError, "expected a (term, total) tuple", ("cat", 1, 2)),
    ([["cat", 1]], ValueError, "expected a (term, total) tuple", ["cat", 1]),
    ("ab", ValueError, "expected a (term, total) tuple", "a"),
    ({"cat": 1, 5: 1}, TypeError, "term must be a str", (5, 1)),
    ({"cat": 1, "dog": None}, TypeError, "not NoneType", ("dog", None)),
    ([Pair(("ok", 1)), ("x", -2)], ValueError, "negative", ("x", -2)),
]


@pytest.mark.parametrize("entries, error, text, named", SET_TOTALS_ERRORS)
def test_set_totals_refuses_bad_entries_and_changes_nothing(entries, error, text, named):
    builder = IndexBuilder()
    builder.add("keep", 9, 4)
    builder.set_total("kept", 3)
    before = builder.arrays()
    if isinstance(entries, list):
        entries = [("fine", 1)] * 3 + entries
    with pytest.raises(error) as info:
        builder.set_totals(entries)
    assert text in str(info.value)
    assert repr(named) in str(info.value)
    assert builder.arrays() == before and len(builder) == 2


# -- layout paths agree on awkward text -------------------------------------


def prefixed_family(alphabet, stem_length):
    """Terms sharing prefixes of every length around the 8-byte rounds of
    the prefix comparison, in one text width."""
    stem = (alphabet * stem_length)[:stem_length]
    out = {stem[:k] for k in range(1, stem_length + 1)}
    for k in range(stem_length):
        for ch in alphabet:
            out.add(stem[:k] + ch)
            out.add(stem[:k] + ch + alphabet[0] * 3)
    return sorted(out)


@pytest.mark.parametrize(
    "alphabet",
    [
        "ab",  # one byte per character
        "a\u00e9\u00ff",  # still one byte
        "a\u0100\u4e2d",  # two bytes
        "a\u00e9\U0001f600",  # four bytes
        "\uffff\U00010000",  # the two sides of the two-byte limit
    ],
)
@pytest.mark.parametrize("stem_length", [1, 7, 9, 17, 33])
def test_native_and_modelled_layouts_agree(alphabet, stem_length):
    native, modelled = native_and_model_arrays(prefixed_family(alphabet, stem_length))
    assert native == modelled


@pytest.mark.parametrize(
    "terms",
    [
        ["x"],
        ["\U0001f600" * 40],
        [str(i) for i in range(1000)],
        ["a" * k + "b" for k in range(70)],
    ],
    ids=["one term", "one long term", "many numbers", "many lengths"],
)
def test_layouts_agree_on_one_term_and_on_many_lengths(terms):
    native, modelled = native_and_model_arrays(terms)
    assert native == modelled


# -- the collector around bulk builds ---------------------------------------


@pytest.mark.parametrize("enabled", [True, False])
def test_bulk_builds_leave_the_collector_as_found(monkeypatch, enabled):
    import gc

    monkeypatch.setattr(builder_module, "_PROMOTE_AT", 10)
    builder = IndexBuilder()
    builder.set_totals({f"w{i}": 1 for i in range(500)})
    was = gc.isenabled()
    frozen = [[]]  # an object the program froze itself
    gc.freeze()
    try:
        (gc.enable if enabled else gc.disable)()
        builder.arrays()
        assert gc.isenabled() is enabled
        assert gc.get_freeze_count() >= 1, "the program's frozen objects stay frozen"
        gc.unfreeze()
        assert gc.get_freeze_count() == 0
        builder.arrays()  # nothing frozen: the new arrays are promoted
        assert gc.get_freeze_count() == 0 and gc.isenabled() is enabled
    finally:
        gc.unfreeze()
        (gc.enable if was else gc.disable)()
    del frozen
