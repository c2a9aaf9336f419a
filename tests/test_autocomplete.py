"""Autocomplete: normalised queries, typing-aware defaults, exact results
first, corrected flags, overrides, pickling and threads."""

import pickle
import threading

import pytest

import quillomar
from quillomar import Autocomplete, Completion, IndexBuilder, Suggestion
from quillomar.autocomplete import DEFAULT_LIMIT, typing_max_dist

# "git" is far more popular than "guitar": one edit from the half-typed
# "guit", it is what the index's own ranking answers with.
RECORDS = [
    ("Guitar Chords", 101, 50),
    ("guitar lessons", 102, 20),
    ("Git", 201, 5000),
    ("git rebase", 202, 900),
    ("piano", 301, 40),
    ("café crème", 401, 7),
    ("ab", 501, 3),
]


def build(normalization="default", records=RECORDS, top_n=20):
    builder = IndexBuilder(normalization=normalization)
    builder.add_records(records)
    return builder.build(top_n)


@pytest.fixture(scope="module")
def saved(tmp_path_factory):
    path = tmp_path_factory.mktemp("ac") / "n.idx"
    quillomar.save(build(), path, normalization="default", top_n=20)
    return path


@pytest.fixture(scope="module")
def ac(saved):
    return Autocomplete(saved)


def videos(completion):
    return [s.video for s in completion.results]


@pytest.mark.parametrize(
    "length, edits", [(0, 0), (1, 0), (2, 0), (3, 1), (4, 1), (5, 1), (6, 2), (9, 2), (40, 2)]
)
def test_edits_grow_with_the_normalised_length(ac, length, edits):
    assert typing_max_dist(length) == edits
    assert ac.edits_for("x" * length) == edits


@pytest.mark.parametrize(
    "text", ["Guitar Chords", "GUITAR  CHORDS", " guitar\tchords\u00a0", "ｇｕｉｔａｒ chords"]
)
def test_queries_are_normalised_like_the_terms(ac, text):
    found = ac.complete(text)
    assert found.query == "guitar chords"
    assert videos(found)[0] == "101" and not found.corrected


def test_metadata_and_normalization_come_from_the_file(saved, ac):
    assert ac.metadata == quillomar.read_metadata(saved)
    assert ac.normalization.name == "default"
    assert Autocomplete(quillomar.load(saved)).normalization.name == "default"
    # A bare index (or a file without metadata) is searched as it is.
    bare = Autocomplete(build())
    assert bare.metadata is None and bare.normalization.name == "none"
    assert bare.complete("GUITAR CHORDS").results == []
    assert (
        videos(Autocomplete(build(), normalization="default").complete("Guitar Chords"))[0] == "101"
    )


def test_typed_text_leads_and_corrections_fill_up(ac):
    index = ac.index
    # The index alone ranks the popular neighbour first.
    assert index.fuzzy_match_video("guit", 1)[0][0] == "201"
    found = ac.complete("guit")
    assert videos(found)[:2] == ["101", "102"]
    assert [s.corrected for s in found.results] == [False, False] + [True] * (
        len(found.results) - 2
    )
    assert not found.corrected
    scores = [s.score for s in found.results if not s.corrected]
    assert scores == sorted(scores, reverse=True)


@pytest.mark.parametrize(
    "text, expected, corrected",
    [
        ("gutiar", ["101", "102"], True),  # swapped letters: two edits from 6 on
        ("gutar", ["101", "102"], True),  # dropped letter, one edit
        ("pianp", ["301"], True),  # neighbouring key
        ("cafe creme", ["401"], True),  # accents left out: two edits
        ("piano", ["301"], False),
    ],
)
def test_typos_are_corrected_and_flagged(ac, text, expected, corrected):
    found = ac.complete(text)
    assert videos(found)[: len(expected)] == expected
    assert found.corrected is corrected
    assert all(s.corrected is corrected for s in found.results[: len(expected)])


def test_short_queries_get_no_edits(ac):
    # "ax" is one edit from the term "ab", but two characters allow none.
    assert ac.complete("ax").results == []
    assert videos(ac.complete("ax", max_dist=1)) == ["501"]
    assert ac.complete("ab").results[0] == Suggestion("501", 1.0, False)


def test_overrides_per_object_and_per_call(saved):
    strict = Autocomplete(saved, max_dist=0, limit=1)
    assert strict.complete("gutar").results == []
    assert len(strict.complete("g").results) == 1
    assert len(strict.complete("g", limit=3).results) == 3
    assert videos(strict.complete("gutar", max_dist=1))[:1] == ["101"]
    by_length = Autocomplete(saved, max_dist=lambda n: 1 if n >= 2 else 0)
    assert videos(by_length.complete("ax")) == ["501"]
    assert by_length.edits_for("ax") == 1 and by_length.edits_for("a") == 0
    picky = Autocomplete(saved, min_score=0.5)
    assert videos(picky.complete("guitar")) == ["101"]
    assert videos(picky.complete("guitar", min_score=0.0))[:2] == ["101", "102"]
    terms_only = Autocomplete(saved, include_prefix_nodes=False)
    assert terms_only.complete("guit", max_dist=0).results == []
    assert videos(terms_only.complete("guit", max_dist=0, include_prefix_nodes=True))[0] == "101"
    unlimited = Autocomplete(saved, limit=None)
    assert videos(unlimited.complete("g")) == ["201", "202", "101", "102"]
    assert len(Autocomplete(saved).complete("g").results) == 4 <= DEFAULT_LIMIT
    assert Autocomplete(saved).complete("g", limit=0).results == []


@pytest.mark.parametrize(
    "kwargs, error",
    [
        ({"limit": -1}, ValueError),
        ({"limit": "3"}, TypeError),
        ({"limit": True}, TypeError),
        ({"max_dist": -1}, ValueError),
        ({"max_dist": 1.5}, TypeError),
        ({"min_score": "x"}, TypeError),
        ({"include_prefix_nodes": None}, TypeError),
        ({"normalization": "nfc"}, ValueError),
    ],
)
def test_bad_settings_are_refused(saved, kwargs, error):
    with pytest.raises(error):
        Autocomplete(saved, **kwargs)
    if "normalization" not in kwargs and kwargs.get("include_prefix_nodes", 0) is not None:
        with pytest.raises(error):
            Autocomplete(saved).complete("guit", **kwargs)


def test_bad_queries_and_sources(ac, tmp_path):
    with pytest.raises(TypeError):
        ac.complete(b"guit")
    with pytest.raises(ValueError, match="lone surrogate"):
        ac.complete("gu\udcffit")
    assert ac.complete("  \t ") == Completion("", False, [])
    with pytest.raises(TypeError):
        Autocomplete(3)
    with pytest.raises(OSError):
        Autocomplete(tmp_path / "missing.idx")
    with pytest.raises(AttributeError):
        ac.limit = 3
    with pytest.raises(ValueError, match="max_dist -1 is outside"):
        Autocomplete(build(), max_dist=lambda n: -1).complete("guitar")


def test_a_file_naming_an_unknown_normalization(tmp_path):
    path = tmp_path / "future.idx"
    quillomar.save(build(), path)
    stored = quillomar.load(path)
    meta = stored.metadata.__class__(**{**stored.metadata.__dict__, "normalization": "future"})
    odd = quillomar.StoredIndex(stored.index, meta)
    with pytest.raises(ValueError, match="unknown normalization 'future'"):
        Autocomplete(odd)
    assert Autocomplete(odd, normalization="none").normalization.name == "none"


def test_pickles_with_its_settings(saved):
    ac = Autocomplete(saved, limit=3, max_dist=2, min_score=0.0)
    clone = pickle.loads(pickle.dumps(ac))
    assert (clone.limit, clone.max_dist, clone.min_score, clone.metadata, clone.normalization) == (
        3,
        2,
        0.0,
        ac.metadata,
        ac.normalization,
    )
    for text in ["guit", "GUTAR", "p"]:
        assert clone.complete(text) == ac.complete(text)


def test_threads_share_one_object(ac):
    queries = ["g", "gu", "guit", "gutiar", "GIT reb", "pia", "cafe", "ab"] * 25
    expected = [ac.complete(q) for q in queries]
    failures = []

    def work():
        for q, want in zip(queries, expected):
            if ac.complete(q) != want:
                failures.append(q)

    threads = [threading.Thread(target=work) for _ in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


@pytest.mark.parametrize(
    "records", [[], [("cat", 1, 1)], [("guitar chords", 1, 5), ("gitar", 2, 1)]]
)
def test_warming_up_changes_no_answer(tmp_path, records):
    builder = IndexBuilder()
    builder.add_records(records)
    path = tmp_path / "w.idx"
    quillomar.save(builder.build(), path)
    cold, warm = Autocomplete(path), Autocomplete(path)
    warm.warm_up()
    for text in ["", "c", "cat", "gutiar chrods", "guitar chords", "xxxxxxxx"]:
        if text:
            assert warm.complete(text) == cold.complete(text)
        assert warm.index.fuzzy_match(text, 2) == cold.index.fuzzy_match(text, 2)
