"""Damaged index files never reach service: byte flips, crafted trailers,
bytes after a bare index; refused with one line by load, info and query,
and by the server's reload."""

import random
import zlib

import pytest

import quillomar
from quillomar import IndexBuilder
from quillomar._engine import decoded_length
from quillomar.metadata import FOOTER_LENGTH, MAGIC, MetadataError
from quillomar.web.app import load_autocomplete
from quillomar.web.reloader import IndexHolder, Watcher
from test_cli import run

QUERIES = ["gu", "guitar", "gutar chrds", "pian", "a", "lesson", "gin", "x"]


@pytest.fixture(scope="module")
def good(tmp_path_factory):
    builder = IndexBuilder(normalization="default")
    rng = random.Random(7)
    words = ["guitar", "chords", "piano", "lessons", "gin", "tonic", "cat", "video"]
    for i in range(300):
        term = " ".join(rng.choice(words) for _ in range(rng.randint(1, 3)))
        builder.add(term, rng.randrange(60), rng.randint(1, 50))
    path = tmp_path_factory.mktemp("good") / "good.idx"
    quillomar.save(builder.build(top_n=5), path, normalization="default", top_n=5)
    return path


def _answers(index):
    return [
        (index.fuzzy_match(q, 2), index.fuzzy_match_video(q, 1, None, True, 0.0)) for q in QUERIES
    ]


# Decoding checks the index's checksum; a mapped file is checked only when
# verified (a plain mapped load reads none of it, see test_mapped_index).
@pytest.mark.parametrize("how", [{"mapped": False}, {"verify": True}])
def test_random_byte_flips_never_load_with_other_answers(tmp_path, good, how):
    data = good.read_bytes()
    expected = _answers(quillomar.load(good))
    rng = random.Random(2026)
    search = quillomar.read_metadata(good).section("search")
    loaded = 0
    for trial in range(200):
        damaged = bytearray(data)
        for _ in range(rng.randint(1, 3)):
            at = rng.randrange(len(damaged))
            if search.offset <= at < search.offset + search.length and "mapped" in how:
                at = rng.randrange(search.offset)  # decoding never reads the section
            damaged[at] ^= 1 << rng.randrange(8)
        path = tmp_path / f"flip{trial}.idx"
        path.write_bytes(damaged)
        try:
            index = quillomar.load(path, **how)
        except ValueError:
            continue
        loaded += 1
        assert _answers(index) == expected, trial  # no internal failure either
    assert loaded < 20  # only flips that change nothing the index holds load


def test_info_verifies_the_checksum(tmp_path, good):
    assert "checksum ok" in run("info", good).stdout
    damaged = bytearray(good.read_bytes())
    damaged[10] ^= 0x40
    bad = tmp_path / "bad.idx"
    bad.write_bytes(damaged)
    proc = run("info", bad, check_status=2)
    assert "checksum mismatch" in proc.stderr and len(proc.stderr.splitlines()) == 1


def test_a_damaged_replacement_is_refused_by_the_reload(tmp_path, good):
    path = tmp_path / "served.idx"
    path.write_bytes(good.read_bytes())
    holder = IndexHolder(load_autocomplete(str(path)), str(path))
    watcher = Watcher(holder, load_autocomplete)
    damaged = bytearray(good.read_bytes())
    damaged[len(damaged) // 3] ^= 0x08
    path.write_bytes(damaged)
    assert not watcher.check()
    assert holder.current.generation == 1


def _with_body(data, body):
    """``data``'s index under a trailer whose body is ``body`` (CRC right)."""
    n = int(data[-FOOTER_LENGTH : -FOOTER_LENGTH + 16], 16)
    footer = b"%016x%08x%08x%04x" % (n, len(body), zlib.crc32(body), 1)
    return data[:n] + body + footer + MAGIC


@pytest.mark.parametrize(
    "body",
    [
        b"[" * 200000 + b"]" * 200000,
        b'{"a":' * 100000 + b"1" + b"}" * 100000,
        b'{"sections":' + b"[" * 100000 + b"]" * 100000 + b"}",
        b'{"terms":' + b"9" * 10000 + b"}",
        b'{"terms":1e999}',
        b"",
    ],
    ids=["nested-lists", "nested-objects", "nested-sections", "long-number", "inf", "empty"],
)
def test_a_crafted_trailer_is_a_metadata_error(tmp_path, good, body):
    bad = tmp_path / "crafted.idx"
    bad.write_bytes(_with_body(good.read_bytes(), body))
    with pytest.raises(MetadataError):
        quillomar.load(bad)
    for command in (["info", bad], ["query", bad, "gu"]):
        proc = run(*command, check_status=2)
        assert len(proc.stderr.splitlines()) == 1, proc.stderr


@pytest.mark.parametrize(
    "tail, trailing",
    [(b"", 0), (b"junk", 4), (b"\x00" * 5000, 5000), (MAGIC[:-1], len(MAGIC) - 1)],
)
def test_decoded_length_finds_where_the_index_ends(good, tail, trailing):
    index = quillomar.load(good).to_bytes()
    assert decoded_length(index + tail) == len(index)
    assert decoded_length(memoryview(index + tail)) == len(index)
    if trailing:
        path = good.parent / "tail.idx"
        path.write_bytes(index + tail)
        with pytest.raises(MetadataError, match=f"{trailing:,} bytes after the index"):
            quillomar.load(path)


@pytest.mark.parametrize("cut", [1, 7, 100])
def test_decoded_length_refuses_a_cut_index(good, cut):
    index = quillomar.load(good).to_bytes()
    with pytest.raises(ValueError, match="decode error"):
        decoded_length(index[:-cut])


def test_a_cut_trailer_is_refused(tmp_path, good):
    data = good.read_bytes()
    for cut in (1, FOOTER_LENGTH, FOOTER_LENGTH + 10):
        path = tmp_path / f"cut{cut}.idx"
        path.write_bytes(data[:-cut])
        with pytest.raises(MetadataError):
            quillomar.load(path)
