"""The search section and the index searched in place in it, held to the
decoded index; damaged sections, replaced and truncated files."""

import mmap
import os
import random
import struct
import subprocess
import sys
import textwrap

import pytest
from hypothesis import given
from hypothesis import strategies as st

import quillomar
from _quillomar import PrefixSearch
from quillomar._engine import MappedIndex, search_section
from quillomar.builder import IndexBuilder
from quillomar.cli import main

LETTERS = "abcé"
WORDS = st.text(alphabet=LETTERS, min_size=1, max_size=7)
RECORDS = st.lists(st.tuples(WORDS, st.integers(0, 40), st.integers(1, 9)), min_size=1, max_size=40)
QUERIES = st.lists(st.text(alphabet=LETTERS + "x", max_size=9), min_size=1, max_size=6)


def built(records, top_n=3):
    builder = IndexBuilder()
    builder.add_records(records)
    return builder.build(top_n)


def mapped_of(index: PrefixSearch) -> MappedIndex:
    section = search_section(index.to_bytes())
    assert section is not None
    return MappedIndex(section.to_bytes())


def calls(query):
    """Every search the two kinds must answer alike: each bound, limit and
    flag."""
    for max_dist in (0, 1, 2, 3):
        for limit in (None, 0, 1, 3):
            yield "fuzzy_match", (query, max_dist, limit)
            for prefix_nodes in (None, True, False):
                for min_score in (None, 0.0):
                    yield "fuzzy_match_video", (query, max_dist, limit, prefix_nodes, min_score)


@given(records=RECORDS, queries=QUERIES, top_n=st.integers(1, 4))
def test_mapped_answers_exactly_as_decoded(records, queries, top_n):
    decoded = built(records, top_n)
    mapped = mapped_of(decoded)
    for query in queries + [records[0][0]]:
        for method, args in calls(query):
            assert getattr(mapped, method)(*args) == getattr(decoded, method)(*args), (method, args)


@pytest.mark.parametrize(
    "call",
    [
        lambda ix: ix.fuzzy_match(),
        lambda ix: ix.fuzzy_match(3),
        lambda ix: ix.fuzzy_match("a", -1),
        lambda ix: ix.fuzzy_match("a", 1, 2, 3),
        lambda ix: ix.fuzzy_match("a", limit=2**32),
        lambda ix: ix.fuzzy_match_video("a", include_prefix_nodes=2),
        lambda ix: ix.fuzzy_match_video("a", min_score="x"),
        lambda ix: ix.fuzzy_match_video("a", nope=1),
        lambda ix: ix.fuzzy_match_video("\ud800"),
    ],
)
def test_mapped_refuses_arguments_as_decoded(call):
    decoded = built([("cat", 1, 2)])
    errors = []
    for index in (decoded, mapped_of(decoded)):
        with pytest.raises((TypeError, ValueError, OverflowError)) as err:
            call(index)
        errors.append((type(err.value), str(err.value)))
    assert errors[0] == errors[1]


def test_uuid_identifiers_and_long_queries_match(tmp_path):
    import uuid

    ids = [uuid.UUID(int=i * 7919) for i in range(5)]
    decoded = quillomar.build_index(
        [("guitar chords " * 6, ids[0], 3), ("guitar", ids[1], 2), ("gitar", ids[2], 1)], top_n=5
    )
    mapped = mapped_of(decoded)
    for query in ("guitar", "guitar chords " * 6, "gutar chrods " * 6):
        for k in (1, 2, 5):
            assert mapped.fuzzy_match(query, k) == decoded.fuzzy_match(query, k)
            assert mapped.fuzzy_match_video(query, k) == decoded.fuzzy_match_video(query, k)


@pytest.mark.parametrize(
    "index",
    [
        PrefixSearch.from_bytes(bytes(8)),  # no nodes
        # Children not in the breadth-first layout the records need.
        PrefixSearch.from_internal_data_v2(
            [0, 2, 2],
            ["", "b", "a"],
            [None, (1, [0], [1]), (1, [0], [1])],
            [2, 1],
            [b"\x01" * 4],
            5,
        ),
    ],
)
def test_an_index_without_records_has_no_section_and_loads_decoded(tmp_path, index):
    assert search_section(index.to_bytes()) is None
    path = tmp_path / "plain.idx"
    quillomar.save(index, path)
    stored = quillomar.load(path)
    assert not stored.mapped and stored.to_bytes() == index.to_bytes()


@pytest.fixture
def saved(tmp_path):
    path = tmp_path / "m.idx"
    quillomar.save(built([("guitar", 1, 5), ("gitar", 2, 1), ("piano", 3, 2)]), path)
    return path


def test_load_maps_a_saved_file_and_keeps_every_other_reading(saved):
    stored = quillomar.load(saved)
    plain = quillomar.load(saved, mapped=False)
    assert stored.mapped and not plain.mapped
    assert stored.metadata == plain.metadata
    assert stored.to_bytes() == plain.to_bytes() == stored.index.to_bytes()
    # Bytes after the index are ignored by the decoder.
    assert PrefixSearch.from_bytes(saved.read_bytes()).to_bytes() == plain.to_bytes()
    ac = quillomar.Autocomplete(saved)
    assert isinstance(ac.search_index, MappedIndex)
    for text in ("guit", "gutar", "p", "zzz"):
        assert ac.complete(text) == quillomar.Autocomplete(plain).complete(text)


def test_build_writes_the_section_and_info_shows_its_parts(tmp_path, capsys):
    log = tmp_path / "log.tsv"
    log.write_text("term\tvideo\tcount\nguitar\t1\t5\ngitar\t2\t1\npiano\t3\t2\n")
    out = tmp_path / "b.idx"
    assert main(["build", str(log), "-o", str(out)]) == 0
    assert quillomar.load(out).mapped
    capsys.readouterr()
    assert main(["info", str(out)]) == 0
    shown = capsys.readouterr().out
    assert "search section" in shown and "search records" in shown and "mapped" in shown


TABLE_END = 64 + 16 * 24  # the header and the array table


def _array_table(section: bytes):
    """(offset, count) of each array, as the header lists them."""
    return [struct.unpack_from("<IIQQ", section, 64 + 24 * k)[2:] for k in range(16)]


@pytest.mark.parametrize(
    "damage, why",
    [
        (lambda s: s[:40], "truncated header"),
        (lambda s: b"X" + s[1:], "not a search section"),
        (lambda s: s[:8] + struct.pack("<I", 9) + s[12:], "unknown version"),
        (lambda s: s[:12] + struct.pack("<I", 0x04030201) + s[16:], "byte order"),
        (lambda s: s[: 64 + 16] + struct.pack("<Q", 2**40) + s[64 + 24 :], "outside the section"),
        (lambda s: s[: 64 + 8] + struct.pack("<Q", 65) + s[64 + 16 :], "outside the section"),
        (lambda s: s[: len(s) - 64], "outside the section"),
        (lambda s: s[:24] + struct.pack("<Q", 3) + s[32:], "do not fit"),
    ],
)
def test_a_damaged_header_is_refused_and_load_decodes_instead(tmp_path, saved, damage, why):
    section = search_section(quillomar.load(saved).to_bytes()).to_bytes()
    with pytest.raises(ValueError, match=why):
        MappedIndex(damage(section))
    # The same damage to the header and array table in a file: the index is
    # decoded instead.
    damaged = damage(section)
    if len(damaged) != len(section) and len(damaged) >= TABLE_END:
        return  # only a shorter section, which a file cannot have
    data = bytearray(saved.read_bytes())
    offset = quillomar.read_metadata(saved).section("search").offset
    data[offset : offset + TABLE_END] = damaged[:TABLE_END].ljust(TABLE_END, b"\0")
    saved.write_bytes(bytes(data))
    stored = quillomar.load(saved)
    assert not stored.mapped and stored.fuzzy_match("guitar", 0) == [("guitar", 1, 0)]


def test_mutated_sections_never_crash_or_hang():
    decoded = built(
        [
            (w, i, 1 + i % 3)
            for i, w in enumerate(["guitar", "gitar", "guide", "piano", "pia", "éa"])
        ]
    )
    section = search_section(decoded.to_bytes()).to_bytes()
    starts = [offset for offset, count in _array_table(section) if count]
    rng = random.Random(7)
    outcomes = set()
    for _ in range(300):
        damaged = bytearray(section)
        for _ in range(rng.randint(1, 8)):
            at = rng.choice(starts) + rng.randrange(64)
            damaged[min(at, len(damaged) - 1)] = rng.randrange(256)
        index = MappedIndex(bytes(damaged))
        for query, k in (("guitar", 1), ("gitr", 2), ("pian", 1), ("", 1), ("guide", 3)):
            for call in (
                lambda: index.fuzzy_match(query, k),
                lambda: index.fuzzy_match_video(query, k),
            ):
                try:
                    call()
                    outcomes.add("answered")
                except BaseException as err:  # the module's internal-failure exception
                    assert type(err).__name__ == "PanicException", err
                    outcomes.add("refused")
    assert "answered" in outcomes


def test_records_that_are_no_tree_stop_the_walk(saved):
    section = bytearray(search_section(quillomar.load(saved).to_bytes()).to_bytes())
    offset, count = _array_table(bytes(section))[0]
    # Every other node's children start at slot 0: each is its own
    # grandchild, and a walk would go round until the query ran out.
    for v in range(0, count, 2):
        struct.pack_into("<I", section, offset + 12 * v + 8, 0)
    for v in range(1, count, 2):
        struct.pack_into("<I", section, offset + 12 * v + 8, count - 1)
    index = MappedIndex(bytes(section))
    with pytest.raises(BaseException, match="reached a node twice") as err:
        index.fuzzy_match("a" * 40, 60)
    assert type(err.value).__name__ == "PanicException"


def test_a_file_renamed_over_the_mapped_one_changes_nothing(tmp_path, saved):
    stored = quillomar.load(saved)
    before = stored.fuzzy_match_video("guitar", 1)
    quillomar.save(built([("violin", 9, 9)]), saved)
    assert stored.fuzzy_match_video("guitar", 1) == before
    assert quillomar.load(saved).fuzzy_match_video("violin", 0) == [("9", 1.0)]


def test_the_mapping_cannot_be_closed_under_the_index(saved):
    with open(saved, "rb") as f:
        view = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
    section = quillomar.read_metadata(saved).section("search")
    index = MappedIndex(view, section.offset, section.length)
    with pytest.raises(BufferError):
        view.close()
    assert index.fuzzy_match("guitar", 0) == [("guitar", 1, 0)]


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="the sanitizer owns SIGBUS")
def test_truncating_a_mapped_file_in_place_raises_instead_of_crashing(tmp_path):
    path = tmp_path / "t.idx"
    words = [f"{a}{b}{c}" for a in "abcdefgh" for b in "abcdefgh" for c in "abcdefgh"]
    quillomar.save(built([(w, i, 1) for i, w in enumerate(words)]), path)
    section = quillomar.read_metadata(path).section("search")
    script = textwrap.dedent(
        f"""
        import mmap, os, quillomar
        from quillomar._engine import MappedIndex
        path = {str(path)!r}
        stored = quillomar.load(path)  # knows its file: sees the change
        with open(path, "rb") as f:  # knows only its mapping: meets the hole
            view = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
        bare = MappedIndex(view, {section.offset}, {section.length})
        assert stored.mapped and stored.fuzzy_match("abc", 0) == bare.fuzzy_match("abc", 0)
        os.truncate(path, 4096)  # a writer that does not rename
        for index in (stored, bare):
            try:
                index.fuzzy_match("hhh", 1)
                index.fuzzy_match_video("hgf", 1)
            except OSError as err:
                print("refused:", err)
            else:
                print("answered")
        """
    )
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [
        "refused: the index file was changed in place while it was mapped",
        "refused: the index file was truncated while it was mapped",
    ]
