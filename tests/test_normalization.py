"""Text normalisation, and terms that normalise equal merging in the builder."""

import pickle
import unicodedata

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quillomar import IndexBuilder, build_index, get_normalization
from quillomar.normalization import NORMALIZATION_NAMES, Normalization

default = get_normalization("default")
accents = get_normalization("fold-accents")
none = get_normalization("none")


@pytest.mark.parametrize(
    "text, expected",
    [
        ("Guitar  Chords ", "guitar chords"),
        ("\tguitar\u00a0chords\n", "guitar chords"),  # tab, no-break space
        ("guitar\u3000\u2009chords", "guitar chords"),  # ideographic, thin space
        ("a\x1cb\x85c", "a b c"),  # what str.split() splits
        ("ＧＵＩＴＡＲ", "guitar"),  # full-width forms
        ("ﬁsh", "fish"),  # ligature
        ("Straße", "strasse"),
        ("STRAẞE", "strasse"),  # ß and capital ẞ
        ("cafe\u0301", "café"),
        ("CAFÉ", "café"),  # combining mark joined
        ("\u0130stanbul", "i\u0307stanbul"),  # Turkish dotted I
        ("ISTANBUL", "istanbul"),
        ("\U0001d400\U0001d401", "ab"),  # astral math letters
        ("🎸 lessons", "🎸 lessons"),  # astral, unchanged
        ("ß\u0301", "s\u015b"),  # casefold, then NFKC joins
        ("\u00b4", "\u0301"),  # a spacing accent
        ("   ", ""),
    ],
)
def test_default_normalization_of_awkward_text(text, expected):
    assert default(text) == expected
    assert unicodedata.is_normalized("NFKC", default(text))


@pytest.mark.parametrize(
    "text, expected",
    [
        ("Café Crème", "cafe creme"),
        ("\u0130stanbul", "istanbul"),
        ("Ångström", "angstrom"),
        ("smørrebrød", "smørrebrød"),  # no separable mark: kept
        ("हिन्दी", "हिन्दी"),  # Indic vowel signs and virama kept
        ("a \u0301 b", "a b"),  # a lone accent leaves no double space
    ],
)
def test_accent_folding(text, expected):
    assert accents(text) == expected


@given(st.text())
@settings(max_examples=2000)
def test_normalizations_are_idempotent(text):
    for name in NORMALIZATION_NAMES:
        n = get_normalization(name)
        once = n(text)
        assert n(once) == once


@given(st.text(alphabet=st.characters(max_codepoint=127)))
@settings(max_examples=1000)
def test_default_on_ascii_is_lower_and_split(text):
    assert default(text) == " ".join(text.lower().split())


@given(st.text(alphabet=st.characters(min_codepoint=128)))
def test_default_matches_its_definition_beyond_ascii(text):
    nfkc = unicodedata.normalize
    assert default(text) == " ".join(nfkc("NFKC", nfkc("NFKC", text).casefold()).split())


def test_lookup_identity_and_pickling():
    assert get_normalization(None) is none and none("A  b") == "A  b"
    assert get_normalization(default) is default
    assert pickle.loads(pickle.dumps(accents)) is accents
    assert default == get_normalization("default") and default != none
    with pytest.raises(ValueError, match="unknown normalization 'nfc'.*'default'"):
        get_normalization("nfc")
    with pytest.raises(TypeError):
        get_normalization(3)
    with pytest.raises(TypeError, match="must be a str"):
        default(b"bytes")
    assert isinstance(default, Normalization) and default.name == "default"


# -- the builder -------------------------------------------------------------


def payload_of(index, term):
    """(total, {video: score share}) of the node spelling ``term``."""
    exact = index.fuzzy_match_video(term, 0, None, False, -1.0)
    return {video: round(score, 6) for video, score in exact}


def test_terms_that_normalise_equal_merge_counts_and_totals():
    builder = IndexBuilder(normalization="default")
    builder.add("Guitar Chords", 1, 3)
    builder.add_records([("guitar  chords", 1, 2), ("GUITAR CHORDS", 2, 5), ("piano", 3, 1)])
    assert len(builder) == 2
    index = builder.build()
    assert index.fuzzy_match("guitar chords", 0) == [("guitar chords", 1, 0)]
    assert index.fuzzy_match("Guitar Chords", 0) == []
    assert payload_of(index, "guitar chords") == {"1": 0.5, "2": 0.5}
    # A total set under another spelling lands on the same term; the later
    # one replaces the earlier, as for one spelling.
    builder.set_total("GUITAR chords", 40)
    builder.set_totals([("Ｐｉａｎｏ", 10), ("piano", 4)])
    index = builder.build()
    assert payload_of(index, "guitar chords") == {"1": 5 / 40, "2": 5 / 40}
    assert payload_of(index, "piano") == {"3": 0.25}


def test_merged_counts_saturate():
    index = build_index([("A", 1, 4294967295), ("a", 1, 10)], normalization="default")
    arrays_total = index.fuzzy_match_video("a", 0, None, False, -1.0)
    assert arrays_total == [("1", 1.0)]


def test_none_keeps_terms_as_given_and_is_the_default():
    records = [("Guitar", 1, 1), ("guitar", 2, 1)]
    plain = build_index(records)
    assert build_index(records, normalization="none").to_bytes() == plain.to_bytes()
    assert len(plain.fuzzy_match("guitar", 1)) == 2
    assert IndexBuilder().normalization is none


@pytest.mark.parametrize(
    "call",
    [
        lambda b: b.add(" \t\u3000", 1, 1),
        lambda b: b.add_records([("ok", 1, 1), ("\u00a0", 2, 1)]),
        lambda b: b.set_total("\n", 1),
        lambda b: b.set_totals({"ok": 1, "  ": 2}),
    ],
)
def test_term_empty_after_normalization_names_the_record(call):
    builder = IndexBuilder(normalization="default")
    builder.add("kept", 1, 1)
    before = builder.arrays()
    with pytest.raises(ValueError, match=r"^record \(.*\): term is empty after 'default'"):
        call(builder)
    assert builder.arrays() == before  # all or nothing


def test_other_record_errors_still_reported_with_normalization():
    builder = IndexBuilder(normalization="default")
    with pytest.raises(ValueError, match="term is empty"):
        builder.add("", 1, 1)
    with pytest.raises(ValueError, match="count -1 is negative"):
        builder.add_records([("Cat", 1, -1)])
    with pytest.raises(TypeError, match="term must be a str"):
        builder.add(5, 1, 1)
    with pytest.raises(ValueError, match="lone surrogate"):
        builder.add("ca\udc80t", 1, 1)
    assert len(builder) == 0
