"""The metadata trailer of index files: round trips, files without one, and
truncated, damaged or foreign trailers."""

import copy
import dataclasses
import json
import os
import pickle
import re
import uuid
import zlib

import pytest
from hypothesis import given
from hypothesis import strategies as st

import quillomar
from quillomar import (
    IndexBuilder,
    IndexMetadata,
    MetadataError,
    PrefixSearch,
    StoredIndex,
    build_index,
)
from quillomar._format import summarize
from quillomar.metadata import (
    FOOTER_LENGTH,
    MAGIC,
    SECTION_ALIGNMENT,
    Section,
    encode_trailer,
    parse_body,
    parse_footer,
    tail_counts,
)
from quillomar.storage import append_metadata

RECORDS = [
    ("Guitar Chords", 101, 50),
    ("guitar chords", 102, 30),
    ("guitar lessons", 101, 20),
    ("gin", 300, 5),
    ("piano", 200, 40),
]


@pytest.fixture
def normalized():
    builder = IndexBuilder(normalization="default")
    builder.add_records(RECORDS)
    return builder.build(top_n=5)


@pytest.fixture
def saved(tmp_path, normalized):
    path = tmp_path / "n.idx"
    # The trailer alone: the search section has tests of its own.
    quillomar.save(normalized, path, normalization="default", top_n=5, mapped=False)
    return path


def test_round_trip_records_what_the_index_holds(saved, normalized):
    stored = quillomar.load(saved)
    meta = stored.metadata
    assert isinstance(stored, StoredIndex) and isinstance(meta, IndexMetadata)
    prefixes = {
        t[:i]
        for t in ["guitar chords", "guitar lessons", "gin", "piano"]
        for i in range(len(t) + 1)
    }
    assert (
        meta.normalization,
        meta.top_n,
        meta.terms,
        meta.nodes,
        meta.videos,
        meta.id_mode,
        meta.version,
    ) == ("default", 5, 4, len(prefixes), 4, "int32", 1)
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", meta.built_at)
    assert meta.writer.startswith("quillomar ")
    assert stored.normalization.name == "default"
    assert quillomar.read_metadata(saved) == meta
    # The index is untouched: the plain extension reads every file, and the
    # loaded index answers as the one saved.
    data = saved.read_bytes()
    assert data.startswith(normalized.to_bytes())
    assert PrefixSearch.from_bytes(data).to_bytes() == normalized.to_bytes()
    assert stored.to_bytes() == normalized.to_bytes()
    assert stored.fuzzy_match("gin", 0) == normalized.fuzzy_match("gin", 0)
    assert stored.fuzzy_match_video("guit", 1, 2, True, 0.0) == normalized.fuzzy_match_video(
        "guit", 1, 2, True, 0.0
    )


def test_uuid_index_and_counts_without_a_walk(tmp_path):
    ids = [uuid.UUID(int=i) for i in range(3)]
    index = build_index([("a", ids[0], 1), ("b", ids[1], 1), ("ab", ids[2], 1)])
    path = tmp_path / "u.idx"
    quillomar.save(index, path)
    meta = quillomar.read_metadata(path)
    assert (meta.normalization, meta.top_n, meta.terms, meta.videos, meta.id_mode) == (
        "none",
        None,
        3,
        3,
        "uuid",
    )
    assert tail_counts(index.to_bytes()) == (meta.nodes, 3, "uuid")


def test_saving_a_loaded_index_keeps_its_metadata(tmp_path, saved):
    stored = quillomar.load(saved)
    again = tmp_path / "again.idx"
    quillomar.save(stored, again, mapped=False)
    assert quillomar.read_metadata(again) == stored.metadata
    quillomar.save(stored, again, normalization="none", top_n=9)
    meta = quillomar.read_metadata(again)
    assert (meta.normalization, meta.top_n, meta.built_at) == ("none", 9, stored.metadata.built_at)


def test_file_without_metadata_loads_as_not_normalised(tmp_path, normalized):
    path = tmp_path / "bare.idx"
    path.write_bytes(normalized.to_bytes())
    stored = quillomar.load(path)
    assert stored.metadata is None and stored.normalization.name == "none"
    assert quillomar.read_metadata(path) is None
    assert stored.to_bytes() == normalized.to_bytes()
    empty = PrefixSearch.from_internal_data_v2([], [], [], [], [], 0)
    path.write_bytes(empty.to_bytes())
    assert quillomar.load(path).metadata is None


def test_loaded_index_pickles_and_is_immutable(saved):
    stored = quillomar.load(saved)
    for clone in (pickle.loads(pickle.dumps(stored)), copy.deepcopy(stored)):
        assert clone.metadata == stored.metadata
        assert clone.to_bytes() == stored.to_bytes()
    with pytest.raises(AttributeError):
        stored.metadata = None
    with pytest.raises(TypeError):
        StoredIndex(b"not an index")


def test_every_cut_inside_the_trailer_is_an_error(tmp_path, saved, normalized):
    data = saved.read_bytes()
    index_length = len(normalized.to_bytes())
    cut_file = tmp_path / "cut.idx"
    for cut in range(index_length + 1, len(data)):
        cut_file.write_bytes(data[:cut])
        with pytest.raises(MetadataError, match="truncated"):
            quillomar.load(cut_file)
        # The index itself still loads with the plain extension.
        assert PrefixSearch.from_bytes(data[:cut]).to_bytes() == normalized.to_bytes()
    # Cut exactly at the end of the index: an ordinary file without metadata.
    cut_file.write_bytes(data[:index_length])
    assert quillomar.load(cut_file).metadata is None


def _replace_body(data, index_length, edit):
    body = json.loads(data[index_length:-FOOTER_LENGTH])
    edit(body)
    new = json.dumps(body).encode("ascii")
    footer = b"%016x%08x%08x%04x" % (index_length, len(new), zlib.crc32(new), 1)
    return data[:index_length] + new + footer + MAGIC


@pytest.mark.parametrize(
    "damage, message",
    [
        (lambda d, n: d + b"xyz", "not a metadata trailer"),
        (lambda d, n: d[:n] + b"some other tool's data", "not a metadata trailer"),
        (lambda d, n: d[:n] + b"\x00\x01\x01", "not a metadata trailer"),
        (lambda d, n: d[: n + 3] + b"X" + d[n + 4 :], "checksum"),
        (lambda d, n: d[:-FOOTER_LENGTH] + b"g" + d[-FOOTER_LENGTH + 1 :], "damaged"),
        (lambda d, n: d[:-23] + b"0003" + d[-19:], "metadata version 3 is not supported"),
        (lambda d, n: d[: -23 - 8] + b"00000001" + d[-23:], "checksum|size"),
        (
            lambda d, n: _replace_body(d, n, lambda b: b.update(nodes=b["nodes"] + 1)),
            "does not belong",
        ),
        (lambda d, n: _replace_body(d, n, lambda b: b.pop("terms")), "no valid 'terms'"),
        (lambda d, n: _replace_body(d, n, lambda b: b.update(top_n=-1)), "'top_n'"),
        (lambda d, n: MAGIC, "truncated"),
    ],
)
def test_foreign_or_damaged_trailer_is_a_clear_error(tmp_path, saved, normalized, damage, message):
    n = len(normalized.to_bytes())
    bad = tmp_path / "bad.idx"
    bad.write_bytes(damage(saved.read_bytes(), n))
    with pytest.raises(ValueError, match=message):
        quillomar.load(bad)


def test_a_trailer_moved_to_another_index_is_refused(tmp_path, saved, normalized):
    other = build_index([("x", 1, 1)])
    data = saved.read_bytes()
    n = len(normalized.to_bytes())
    moved = other.to_bytes() + data[n:]
    bad = tmp_path / "moved.idx"
    bad.write_bytes(moved)
    with pytest.raises(MetadataError):
        quillomar.load(bad)


def test_non_canonical_bare_index_still_loads(tmp_path):
    # A valid encoding need not use the shortest number forms; such a file
    # cannot be recognised from its last bytes and is walked instead.
    index = PrefixSearch.from_internal_data_v2(
        [0, 1], ["", "a"], [None, (5, [0], [5])], [1], [b"\x07\0\0\0"], 10
    )
    data = index.to_bytes()
    assert data[-3] == 2  # the flags' count, just before the two flags
    longer = data[:-3] + b"\xfb\x02\x00" + data[-2:]
    path = tmp_path / "long.idx"
    path.write_bytes(longer)
    assert quillomar.load(path).metadata is None
    path.write_bytes(longer + b"\x01")
    with pytest.raises(MetadataError, match="1 bytes after the index"):
        quillomar.load(path)


def test_save_is_atomic_and_load_reports_undecodable_files(tmp_path, normalized):
    path = tmp_path / "x.idx"
    path.write_bytes(b"hello" + MAGIC)
    with pytest.raises(ValueError):
        quillomar.load(path)
    with pytest.raises(OSError):
        quillomar.save(normalized, tmp_path / "missing" / "x.idx")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["x.idx"]


@given(
    normalization=st.sampled_from(["default", "fold-accents", "none", "future"]),
    top_n=st.none() | st.integers(0, 2**32 - 1),
    counts=st.tuples(*[st.integers(0, 2**40)] * 3),
    id_mode=st.sampled_from(["int32", "uuid"]),
    writer=st.text(max_size=30),
    index_length=st.integers(0, 2**48),
)
def test_trailer_encoding_round_trips(normalization, top_n, counts, id_mode, writer, index_length):
    meta = IndexMetadata(
        normalization=normalization,
        top_n=top_n,
        terms=counts[0],
        nodes=counts[1],
        videos=counts[2],
        id_mode=id_mode,
        built_at="2026-12-09T12:00:00Z",
        writer=writer,
    )
    trailer = encode_trailer(meta, index_length)
    assert trailer.endswith(MAGIC) and max(trailer) < 0x80 and min(trailer) >= 0x0A
    found = parse_footer(trailer[-FOOTER_LENGTH:], index_length + len(trailer))
    assert found is not None and found[0] == index_length
    assert parse_body(trailer[: found[1]], found[2]) == meta


def _section_writer(payload):
    def write(fd, offset):
        os.pwrite(fd, payload, offset)
        return len(payload)

    return write


def test_sections_lie_aligned_between_index_and_trailer(tmp_path, normalized):
    path = tmp_path / "s.idx"
    big = bytes(range(256)) * 40
    quillomar.save(
        normalized,
        path,
        sections=[("alpha", b"abc"), ("beta", _section_writer(big))],
        mapped=False,
    )
    meta = quillomar.read_metadata(path)
    data = path.read_bytes()
    assert meta.version == 2 and [s.name for s in meta.sections] == ["alpha", "beta"]
    for section, payload in zip(meta.sections, [b"abc", big]):
        assert section.offset % SECTION_ALIGNMENT == 0
        assert data[section.offset : section.offset + section.length] == payload
        assert section.checksum == zlib.crc32(payload)
    assert meta.section("beta") == meta.sections[1] and meta.section("gamma") is None
    # The plain extension still reads the whole file; load checks it all.
    assert PrefixSearch.from_bytes(data).to_bytes() == normalized.to_bytes()
    assert quillomar.load(path).metadata == meta
    # The same file through the build path's writer.
    with open(tmp_path / "b.idx", "w+b") as f:
        index = normalized.to_bytes()
        f.write(index)
        f.flush()
        append_metadata(
            f.fileno(),
            len(index),
            normalization="default",
            top_n=5,
            videos=4,
            sections=[("alpha", b"abc"), ("beta", _section_writer(big))],
        )
    built = quillomar.read_metadata(tmp_path / "b.idx")
    assert built.sections == meta.sections and built.index_checksum == meta.index_checksum


def test_index_checksum_refuses_damaged_index_and_old_files_still_load(tmp_path, saved):
    data = saved.read_bytes()
    meta = quillomar.read_metadata(saved)
    n = len(quillomar.load(saved).to_bytes())
    assert meta.index_checksum == zlib.crc32(data[:n]) and meta.version == 1
    # A flip inside the index that still decodes (a count byte of the
    # payloads) must not reach service silently.
    for at in range(1, n - 1):
        damaged = tmp_path / "d.idx"
        damaged.write_bytes(data[:at] + bytes([data[at] ^ 0x01]) + data[at + 1 :])
        with pytest.raises(MetadataError):
            quillomar.load(damaged)
    # Files written before the checksum was recorded load unchecked.
    old = tmp_path / "old.idx"
    old.write_bytes(_replace_body(data, n, lambda b: b.pop("index_checksum")))
    assert quillomar.load(old).metadata.index_checksum is None


def _with_sections(data, n, sections, gap):
    """``data``'s index followed by ``gap`` zero bytes and a version 2
    trailer listing ``sections``."""
    body = json.loads(data[n:-FOOTER_LENGTH])
    body["sections"] = sections
    new = json.dumps(body).encode("ascii")
    footer = b"%016x%08x%08x%04x" % (n, len(new), zlib.crc32(new), 2)
    return data[:n] + bytes(gap) + new + footer + MAGIC


A = SECTION_ALIGNMENT


@pytest.mark.parametrize(
    "sections, gap, message",
    [
        ([{"name": "x", "offset": 1, "length": 1, "checksum": 0}], A, "misplaced"),
        ([{"name": "x", "offset": A, "length": A, "checksum": 0}], A, "fit"),
        ([{"name": "x", "offset": A, "length": 2, "checksum": 0}] * 2, 2 * A, "twice"),
        (
            [
                {"name": "x", "offset": A, "length": A + 1, "checksum": 0},
                {"name": "y", "offset": 2 * A, "length": 1, "checksum": 0},
            ],
            3 * A,
            "misplaced",
        ),
        ([{"name": "x", "offset": A, "length": -1, "checksum": 0}], 2 * A, "'sections'"),
        ([{"name": "", "offset": A, "length": 1, "checksum": 0}], 2 * A, "'sections'"),
        ([{"name": "x", "offset": A, "length": 1, "checksum": 1 << 32}], 2 * A, "'sections'"),
        ({"name": "x"}, 2 * A, "'sections'"),
        ([], A, "fit"),
    ],
)
def test_damaged_section_list_is_a_clear_error(tmp_path, saved, sections, gap, message):
    data = saved.read_bytes()
    n = len(quillomar.load(saved).to_bytes())
    bad = tmp_path / "bad.idx"
    bad.write_bytes(_with_sections(data, n, sections, gap))
    with pytest.raises(MetadataError, match=message):
        quillomar.read_metadata(bad)
    with pytest.raises(MetadataError, match=message):
        quillomar.load(bad)


def test_sections_round_trip_through_the_trailer_encoding():
    meta = IndexMetadata(
        "none",
        3,
        1,
        2,
        1,
        "int32",
        "2026-12-09T12:00:00Z",
        writer="w",
        index_checksum=7,
        sections=(Section("m", A, 10, 5),),
    )
    trailer = encode_trailer(meta, 100)
    size = A + 10 + len(trailer)
    found = parse_footer(trailer[-FOOTER_LENGTH:], size)
    assert parse_body(trailer[: found[1]], found[2]) == dataclasses.replace(meta, version=2)


@pytest.mark.parametrize("video, mode", [(7, "int32"), (uuid.UUID(int=7), "uuid")])
def test_every_reader_names_the_identifier_kind_as_the_builder(tmp_path, video, mode):
    builder = IndexBuilder()
    builder.add("cat", video, 2)
    index = builder.build()
    path = tmp_path / "k.idx"
    quillomar.save(index, path)
    data = index.to_bytes()
    assert builder.id_mode == mode
    assert quillomar.read_metadata(path).id_mode == mode
    assert summarize(data).id_mode == mode
    assert tail_counts(data)[2] == mode
