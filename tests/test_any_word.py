"""Matching any word in any order, and suggested searches, checked against
the brute-force reference in reference_terms.py."""

import pickle
import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quillomar import Autocomplete, IndexBuilder, load, save
from quillomar.autocomplete import typing_max_dist
from quillomar.cli import main
from reference_terms import box_distance, matching_terms

VOCABULARY = ["ab", "abc", "guitar", "gitar", "chords", "piano", "lessons", "bread", "brad", "a"]


def build(records, term_top_n):
    b = IndexBuilder()
    b.add_records(records)
    return b.build(), b.build_terms(term_top_n)


@st.composite
def logs_and_typing(draw):
    terms = draw(
        st.lists(
            st.lists(st.sampled_from(VOCABULARY), min_size=1, max_size=4).map(" ".join),
            min_size=1,
            max_size=12,
            unique=True,
        )
    )
    counts = draw(st.lists(st.integers(1, 50), min_size=len(terms), max_size=len(terms)))
    meant = draw(st.sampled_from(terms)).split(" ")
    way = draw(st.sampled_from(["start", "later", "reordered"]))
    if way == "later" and len(meant) > 1:
        meant = meant[draw(st.integers(1, len(meant) - 1)) :]
    elif way == "reordered":
        meant = draw(st.permutations(meant))
    typed = " ".join(meant)[: draw(st.integers(1, 30))]
    if draw(st.booleans()) and len(typed) > 2:  # one typo: a swap, a drop or a change
        at = draw(st.integers(0, len(typed) - 2))
        kind = draw(st.sampled_from(["swap", "drop", "change"]))
        if kind == "swap":
            typed = typed[:at] + typed[at + 1] + typed[at] + typed[at + 2 :]
        elif kind == "drop":
            typed = typed[:at] + typed[at + 1 :]
        else:
            typed = typed[:at] + "x" + typed[at + 1 :]
    if draw(st.booleans()):
        typed += " "
    return list(zip(terms, counts)), typed


@settings(max_examples=300, deadline=None)
@given(logs_and_typing())
def test_matched_terms_are_the_reference_set(case):
    log, typed = case
    index, terms = build([(t, 7, c) for t, c in log], term_top_n=len(log))
    ac = Autocomplete(index, terms=terms, suggestions=1000, limit=1000)
    found = ac.complete(typed)
    words = [w for w in typed.split(" ") if w]
    if not words:
        return
    budgets = [typing_max_dist(len(w)) for w in words]
    expected = matching_terms(words, budgets, typed.endswith(" "), [t for t, _ in log])
    got = [(s.text, s.how, s.corrected) for s in found.suggestions]
    assert sorted(got) == sorted(expected)
    # Exact matches first, then by how often each was searched.
    counts = dict(log)
    keys = [(s.corrected, -counts[s.text]) for s in found.suggestions]
    assert keys == sorted(keys)
    for s in found.suggestions:
        assert s.score == counts[s.text]
        assert len(s.highlight) == len(words)
        assert all(0 <= a <= b <= len(s.text) for a, b in s.highlight)


@pytest.mark.parametrize(
    "typed, word, prefix, distance",
    [
        ("balck", "black", False, 1),  # a swap is one edit
        ("pyhto", "python", True, 1),
        ("abcd", "badc", False, 3),  # only one swap at that price
        ("gui", "guitar", True, 0),
        ("gui", "guitar", False, 3),
    ],
)
def test_box_distance_reference(typed, word, prefix, distance):
    assert box_distance(typed, word, prefix) == distance


SAMPLE = [
    ("guitar chords", 1, 50),
    ("piano chords", 2, 40),
    ("guitar lessons", 3, 30),
    ("piano lessons", 4, 20),
    ("sourdough bread recipe", 5, 10),
    ("machine learning", 6, 60),
    ("black holes", 7, 25),
    ("tech", 8, 5),
    ("technology news", 9, 70),
]


@pytest.fixture(scope="module")
def sample_ac():
    index, terms = build(SAMPLE, 10)
    return Autocomplete(index, terms=terms)


@pytest.mark.parametrize(
    "typed, meant, how, corrected",
    [
        ("chords", "guitar chords", "word", False),
        ("chords guitar", "guitar chords", "order", False),
        ("lessons piano", "piano lessons", "order", False),
        ("bread sourdough recipe", "sourdough bread recipe", "order", False),
        ("machine lea", "machine learning", "start", False),
        ("balck", "black holes", "start", True),
        ("learning machine", "machine learning", "order", False),
    ],
)
def test_any_word_and_any_order(sample_ac, typed, meant, how, corrected):
    found = sample_ac.complete(typed)
    by_text = {s.text: s for s in found.suggestions}
    assert (by_text[meant].how, by_text[meant].corrected) == (how, corrected)
    video = str(dict((t, v) for t, v, _ in SAMPLE)[meant])
    row = next(r for r in found.results if r.video == video)
    assert row.how == how and row.corrected == corrected


def test_what_is_typed_from_the_start_comes_first(sample_ac):
    found = sample_ac.complete("guitar")
    assert [r.how for r in found.results][:2] == ["start", "start"]
    assert {r.video for r in found.results[:2]} == {"1", "3"}


def test_a_trailing_space_finishes_the_word(sample_ac):
    assert {s.text for s in sample_ac.complete("tech").suggestions} == {"tech", "technology news"}
    assert {s.text for s in sample_ac.complete("tech ").suggestions} == {"tech"}
    # The finished term's videos come from its node, which also ranks the
    # longer terms below it: its own video is among them.
    assert "8" in [r.video for r in sample_ac.complete("tech ").results]


def test_highlight_marks_the_typed_words(sample_ac):
    (s,) = [s for s in sample_ac.complete("chords gui").suggestions if s.text == "guitar chords"]
    assert s.highlight == ((0, 3), (7, 13))


@pytest.mark.parametrize(
    "typed",
    [" \t ", "a " * 200, " ".join("abcdefghijklmnopqrstuvwxyz"), "x" * 300, "guitar " * 9],
)
def test_hostile_texts_get_an_answer(sample_ac, typed):
    found = sample_ac.complete(typed)
    assert isinstance(found.results, list) and isinstance(found.suggestions, list)


def test_a_term_of_sixty_words_is_matched_by_its_early_words():
    long_term = " ".join(f"w{i}" for i in range(60))
    index, terms = build([(long_term, 1, 3), ("w5 other", 2, 1)], 10)
    found = Autocomplete(index, terms=terms).complete("w3 w1")
    assert [s.text for s in found.suggestions] == [long_term]


def test_any_word_can_be_switched_off(sample_ac):
    assert sample_ac.complete("chords", any_word=False).results == []
    assert sample_ac.complete("chords", suggestions=0).suggestions == []


def test_stored_and_pickled_with_the_index(tmp_path, sample_ac):
    path = tmp_path / "i.qidx"
    save(Autocomplete(sample_ac._stored)._stored, path)
    loaded = load(path)
    assert loaded.terms is not None
    for ac in (Autocomplete(loaded), pickle.loads(pickle.dumps(Autocomplete(loaded)))):
        assert [s.text for s in ac.complete("chords").suggestions] == [
            "guitar chords",
            "piano chords",
        ]


def test_build_stores_the_term_sections_and_info_says_so(tmp_path, capsys):
    records = tmp_path / "r.csv"
    records.write_text("term,video,count\n" + "".join(f"{t},{v},{c}\n" for t, v, c in SAMPLE))
    for flag, expected in (("10", "any word"), ("0", "from the start of terms only")):
        out = tmp_path / f"i{flag}.qidx"
        assert main(["build", str(records), "-o", str(out), "--term-top-n", flag]) == 0
        capsys.readouterr()
        assert main(["info", str(out)]) == 0
        assert expected in capsys.readouterr().out
        stored = load(out)
        assert (stored.terms is not None) == (flag != "0")
        # The extension itself still reads the whole file.
        from _quillomar import PrefixSearch

        PrefixSearch.from_bytes(out.read_bytes())


def test_damaged_term_sections_are_refused(tmp_path):
    index, terms = build(SAMPLE, 10)
    path = tmp_path / "i.qidx"
    from quillomar.storage import StoredIndex

    save(StoredIndex(index, None, terms), path)
    data = bytearray(path.read_bytes())
    meta = load(path).metadata
    section = meta.section("term-table")
    data[section.offset + 3] ^= 0xFF
    path.write_bytes(bytes(data))
    with pytest.raises(ValueError, match="damaged"):
        load(path)


@pytest.mark.parametrize("seed", range(3))
def test_term_index_refuses_random_bytes(seed):
    from quillomar._engine import TermIndex

    rng = random.Random(seed)
    index, terms = build(SAMPLE, 10)
    trie, table = terms.__reduce__()[1]
    broken = bytearray(table)
    broken[rng.randrange(8)] ^= 0x55
    with pytest.raises(ValueError):
        TermIndex(trie, bytes(broken))
    with pytest.raises(ValueError):
        TermIndex(bytes(rng.randrange(256) for _ in range(40)), table)
