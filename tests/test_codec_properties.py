"""Property tests of the stored index format against the reference model in
trie_bytes.py: valid indexes round-trip byte for byte, and any byte string
decodes exactly as the reference says (same index or same error text)."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from _quillomar import PrefixSearch
from trie_bytes import DecodeFailure, TrieData, decode, encode

# Values around every boundary of the integer forms, plus anything else.
EDGES = [0, 1, 250, 251, 255, 256, 65535, 65536, 2**24, 2**32 - 1]
u32 = st.one_of(st.sampled_from(EDGES), st.integers(0, 2**32 - 1))
small_lists = dict(max_size=6)

code_points = st.one_of(
    st.just(0),
    st.integers(1, 0x7F),
    st.integers(0x80, 0x7FF),
    st.integers(0x800, 0xFFFF).filter(lambda c: not 0xD800 <= c <= 0xDFFF),
    st.integers(0x10000, 0x10FFFF),
)
payloads = st.one_of(
    st.none(),
    st.tuples(u32, st.lists(u32, **small_lists), st.lists(u32, **small_lists)),
)


@st.composite
def tries(draw):
    """Any index the format can express: per-node arrays of unrelated
    lengths, absent payloads, unequal payload lists, both identifier tables
    filled or not, whatever id_mode says."""
    n = draw(st.integers(0, 6))

    def per_node(elements):
        # Mostly N entries, as construction makes them; sometimes not.
        return draw(
            st.one_of(st.lists(elements, min_size=n, max_size=n), st.lists(elements, max_size=8))
        )

    return TrieData(
        node_shifts=per_node(u32),
        child_labels=per_node(code_points),
        child_transitions=draw(st.lists(u32, max_size=8)),
        payloads=per_node(payloads),
        uuid_ids=draw(st.lists(st.binary(min_size=16, max_size=16), max_size=3)),
        int32_ids=draw(st.lists(u32, max_size=4)),
        id_mode=draw(st.sampled_from([0, 1])),
        is_terminal=per_node(st.booleans()),
    )


def outcome(data: bytes):
    """('ok', re-encoding) or ('error', text) as the extension decodes."""
    try:
        index = PrefixSearch.from_bytes(data)
    except ValueError as e:
        text = str(e)
        assert text.startswith("decode error: ")
        return ("error", text[len("decode error: ") :])
    return ("ok", index.to_bytes())


def expected_outcome(data: bytes):
    try:
        return ("ok", encode(decode(data)))
    except DecodeFailure as e:
        return ("error", str(e))


@settings(max_examples=200)
@given(tries())
def test_valid_indexes_roundtrip_byte_for_byte(t):
    data = encode(t)
    assert decode(data) == t  # the reference agrees with itself
    assert outcome(data) == ("ok", data)


@st.composite
def mutated_encodings(draw):
    data = bytearray(encode(draw(tries())))
    for _ in range(draw(st.integers(1, 3))):
        kind = draw(st.sampled_from(["set", "insert", "delete", "truncate"]))
        at = draw(st.integers(0, len(data)))
        byte = draw(
            st.one_of(
                st.sampled_from(
                    [0, 1, 2, 0x80, 0xC3, 0xE2, 0xED, 0xF0, 0xF4, 0xFB, 0xFC, 0xFD, 0xFE, 0xFF]
                ),
                st.integers(0, 255),
            )
        )
        if kind == "set" and at < len(data):
            data[at] = byte
        elif kind == "insert":
            data.insert(at, byte)
        elif kind == "delete" and at < len(data):
            del data[at]
        elif kind == "truncate":
            del data[at:]
    return bytes(data)


@settings(max_examples=300)
@given(mutated_encodings())
def test_mutated_encodings_decode_exactly_as_the_reference(data):
    assert outcome(data) == expected_outcome(data)


@settings(max_examples=200)
@given(st.binary(max_size=64))
def test_random_bytes_decode_exactly_as_the_reference(data):
    assert outcome(data) == expected_outcome(data)


@settings(max_examples=100)
@given(mutated_encodings(), st.text(max_size=3))
def test_queries_on_any_decoded_index_never_crash(data, term):
    try:
        index = PrefixSearch.from_bytes(data)
    except ValueError:
        return  # not filtered out: rejection would starve the generator
    for query in (
        lambda: index.fuzzy_match(term, 2),
        lambda: index.fuzzy_match_video(term, 1, 3, True),
    ):
        try:
            query()
        except BaseException as e:  # the only other allowed outcome
            assert type(e).__name__ == "PanicException", repr(e)


def _mid_size_trie(seed: int) -> TrieData:
    import random

    rng = random.Random(seed)
    n = 120

    def value():
        return rng.choice(
            [rng.randrange(251), rng.randrange(251, 65536), rng.randrange(65536, 2**32)]
        )

    def payload():
        if rng.random() < 0.1:
            return None
        k = rng.randrange(13)
        return (
            value(),
            [value() for _ in range(k)],
            [value() for _ in range(k if rng.random() < 0.9 else k + 1)],
        )

    return TrieData(
        node_shifts=[value() for _ in range(n)],
        child_labels=[rng.choice([0, 97, 0xE9, 0x4E2D, 0x1F600]) for _ in range(n)],
        child_transitions=[value() for _ in range(n - 1)],
        payloads=[payload() for _ in range(n)],
        uuid_ids=[bytes(rng.randrange(256) for _ in range(16)) for _ in range(5)],
        int32_ids=[value() for _ in range(40)],
        id_mode=1,
        is_terminal=[rng.random() < 0.5 for _ in range(n)],
    )


@pytest.mark.parametrize("seed", [1, 2])
def test_mid_size_index_roundtrips_and_every_truncation_matches(seed):
    # Long enough for the bulk read and write paths, which only run while
    # several bytes remain; every cut point crosses into the exact paths.
    data = encode(_mid_size_trie(seed))
    assert outcome(data) == ("ok", data)
    for cut in range(0, len(data), 29):
        assert outcome(data[:cut]) == expected_outcome(data[:cut]), cut
