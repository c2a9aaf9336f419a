"""The native build engine against the plain model of what a build must
produce, and its column, CSV and Arrow inputs."""

import csv
import io
import uuid
from array import array

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import reference_build as model
import trie_bytes
from quillomar import IndexBuilder, get_normalization
from quillomar.log_files import Columns, LogFileError, add_file

U32_MAX = 4294967295

# Terms of every length class and width: one character, around the 8-byte
# rounds of the comparisons, ASCII to astral.
ALPHABET = "ab \u00e9\u4e2d\U0001f600"
terms = st.text(alphabet=ALPHABET, min_size=1, max_size=12) | st.sampled_from(
    ["a", "ab", "abcdefgh", "abcdefghi", "\U0001f600" * 9, "x" * 40]
)
counts = st.integers(0, 5) | st.sampled_from([U32_MAX, U32_MAX - 1])
int_ids = st.integers(0, 6) | st.sampled_from([U32_MAX])
uuid_ids = st.sampled_from([uuid.UUID(int=i * 0x1234567 + 5) for i in range(6)]) | st.sampled_from(
    [str(uuid.UUID(int=5)).upper(), str(uuid.UUID(int=0x1234567 + 5))]
)

records_of = {
    "int": st.lists(st.tuples(terms, int_ids, counts), max_size=40),
    "uuid": st.lists(st.tuples(terms, uuid_ids, counts), max_size=40),
}


# Operations interleaving records and totals, as callers mix them.
def operations(kind):
    return st.lists(
        st.one_of(
            st.tuples(st.just("records"), records_of[kind]),
            st.tuples(st.just("totals"), st.lists(st.tuples(terms, counts), max_size=8)),
        ),
        max_size=5,
    )


def apply(builder, ops):
    for op, payload in ops:
        if op == "records":
            builder.add_records(payload)
        else:
            builder.set_totals(payload)
    return builder


def assert_builds_as_modelled(builder, log, top_n):
    assert trie_bytes.decode(builder.to_bytes(top_n)) == model.stored(log, top_n)
    assert tuple(builder.arrays(top_n)) == model.arrays(log, top_n)
    assert (len(builder), builder.video_count, builder.id_mode) == (
        len(log.terms()),
        len(log.videos),
        log.id_mode(),
    )


@settings(max_examples=300)
@pytest.mark.parametrize("kind", ["int", "uuid"])
@given(data=st.data(), top_n=st.integers(0, 4))
def test_engine_builds_what_the_model_says(kind, data, top_n):
    ops = data.draw(operations(kind))
    assert_builds_as_modelled(apply(IndexBuilder(), ops), apply(model.Log(), ops), top_n)


@pytest.mark.parametrize(
    "records, top_n, root",
    [
        ([], 3, (0, [], [])),
        # Sums past 4294967295 are stored saturated and then tie: the
        # video first added comes first, at the term and above it.
        (
            [("t", 9, U32_MAX), ("t", 3, U32_MAX), ("t", 9, 5), ("t", 3, 1), ("t", 7, U32_MAX)],
            2,
            (U32_MAX, [0, 1], [U32_MAX, U32_MAX]),
        ),
        # The root sums its children's cut lists: video 3 has the largest
        # sum below it but missed both cuts.
        ([("a", 1, 5), ("a", 3, 4), ("b", 2, 5), ("b", 3, 4)], 1, (18, [0], [5])),
        # Equal sums where lists merge: the smaller video number first,
        # whatever order the children's lists had.
        ([("ab", 8, 1), ("a", 7, 3), ("b", 8, 2)], 2, (6, [0, 1], [3, 3])),
    ],
)
def test_hand_built_cases_agree_with_the_model(records, top_n, root):
    builder = IndexBuilder()
    builder.add_records(records)
    log = model.Log()
    log.add_records(records)
    assert model.stored(log, top_n).payloads[0] == root
    assert_builds_as_modelled(builder, log, top_n)


@pytest.mark.parametrize("with_offsets", [False, True])
@pytest.mark.parametrize("video_format", ["int", "uuid", "uuid_text"])
def test_column_batches_build_what_their_records_build(with_offsets, video_format):
    records = [("cat", 5, 2), ("car", 7, 1), ("\u4e2d\U0001f600", 5, 3)]
    text = [t.encode() for t, _, _ in records]
    ends = [sum(map(len, text[:i])) for i in range(len(text) + 1)]
    uuids = [uuid.UUID(int=v) for _, v, _ in records]
    videos = {
        "int": array("H", [v for _, v, _ in records]),
        "uuid": b"".join(u.bytes for u in uuids),
        "uuid_text": (
            "".join(map(str, uuids)).encode(),
            array("i", [36 * i for i in range(len(uuids) + 1)]),
        ),
    }[video_format]
    builder = IndexBuilder()
    rows = builder.add_columns(
        b"".join(text) if with_offsets else b"".join(t + b"\0" for t in text),
        videos,
        array("q", [c for _, _, c in records]),
        term_offsets=array("i", ends) if with_offsets else None,
        video_format=video_format,
    )
    expected = IndexBuilder()
    if video_format == "int":
        expected.add_records(records)
    else:
        expected.add_records([(t, u, c) for (t, _, c), u in zip(records, uuids)])
    assert rows == 3 and builder.to_bytes() == expected.to_bytes()


def test_a_bad_column_row_is_named_counting_from_first_row():
    builder = IndexBuilder()
    builder.add("dog", 1, 1)
    with pytest.raises(ValueError, match=r"^row 12: count -1 is negative$"):
        builder.add_columns(b"a\0b\0", array("I", [1, 2]), array("q", [1, -1]), first_row=11)
    assert len(builder) == 1, "nothing of the batch was counted"


# -- normalisation -------------------------------------------------------------


@settings(max_examples=100)
@given(records_of["int"])
def test_normalization_acts_as_if_terms_were_replaced(records):
    def fold(text):
        return text.upper().replace("\u00e9", "e")

    native = IndexBuilder(normalization=fold)
    native.add_records(records)
    log = model.Log()
    log.add_records([(fold(t), v, c) for t, v, c in records])
    assert trie_bytes.decode(native.to_bytes(3)) == model.stored(log, 3)


def test_normalization_runs_once_per_distinct_term_and_refuses_empty():
    seen = []

    def strip(text):
        seen.append(text)
        return text.strip()

    builder = IndexBuilder(normalization=strip)
    builder.add_records([(" cat", 1, 1), ("cat ", 2, 1), (" cat", 3, 1)])
    builder.set_total(" cat", 9)
    assert sorted(seen) == [" cat", "cat "] and len(builder) == 1
    with pytest.raises(ValueError, match=r"record \('   ', 1, 1\): term is empty"):
        builder.add_records([("dog", 1, 1), ("   ", 1, 1)])
    assert len(builder) == 1, "the whole batch was refused"
    by_name = IndexBuilder(normalization="default")
    by_name.add("Cat  Videos ", 1, 1)
    plain = IndexBuilder()
    plain.add("cat videos", 1, 1)
    assert by_name.to_bytes() == plain.to_bytes()


@settings(max_examples=200)
@given(
    st.lists(
        st.text(
            st.characters(max_codepoint=0x7F, exclude_characters="\x00"), min_size=1, max_size=12
        ),
        min_size=1,
        max_size=20,
    ),
    st.sampled_from(["default", "fold-accents"]),
)
def test_ascii_terms_fold_natively_as_the_python_definition(terms, name):
    # ASCII terms are folded without calling the Python function: every
    # white-space character str.split() knows and every letter must come
    # out as the function would make them.
    normalize = get_normalization(name)
    records = [(t, i, 1) for i, t in enumerate(terms)]
    kept = [(normalize(t), v, c) for t, v, c in records]
    if not all(t for t, _, _ in kept):
        with pytest.raises(ValueError, match=f"empty after '{name}' normalization"):
            IndexBuilder(normalization=name).add_records(records)
        return
    native = IndexBuilder(normalization=name)
    native.add_records(records)
    log = model.Log()
    log.add_records(kept)
    assert trie_bytes.decode(native.to_bytes(3)) == model.stored(log, 3)


# -- CSV and TSV ---------------------------------------------------------------


def write_log(path, records, tsv, extra_column=False, crlf=False, bom=False):
    out = io.StringIO()
    end = "\r\n" if crlf else "\n"
    if tsv:
        out.write(("count\tterm\tvideo" + ("\tx" if extra_column else "")) + end)
        for term, video, count in records:
            out.write(f"{count}\t{term}\t{video}" + ("\t-" if extra_column else "") + end)
    else:
        writer = csv.writer(out, lineterminator=end)
        writer.writerow(["count", "term", "video"] + (["x"] if extra_column else []))
        for term, video, count in records:
            writer.writerow([count, term, video] + (["-"] if extra_column else []))
    data = out.getvalue().encode("utf-8")
    path.write_bytes((b"\xef\xbb\xbf" if bom else b"") + data)


csv_terms = st.text(alphabet="ab,\"'\n\u00e9 \U0001f600", min_size=1, max_size=8).filter(
    lambda t: t.strip()
)
tsv_terms = st.text(alphabet="ab,\"' \u00e9\U0001f600", min_size=1, max_size=8).filter(
    lambda t: t.strip()
)


@settings(max_examples=60)
@pytest.mark.parametrize("tsv", [False, True])
@given(data=st.data(), extra=st.booleans(), crlf=st.booleans(), bom=st.booleans())
def test_delimited_files_build_what_their_records_build(
    tmp_path_factory, tsv, data, extra, crlf, bom
):
    records = data.draw(
        st.lists(st.tuples(tsv_terms if tsv else csv_terms, int_ids, counts), max_size=30)
    )
    path = tmp_path_factory.mktemp("log") / "log.txt"
    write_log(path, records, tsv, extra, crlf, bom)
    from_file = IndexBuilder()
    assert add_file(from_file, path) == len(records)
    from_records = IndexBuilder()
    from_records.add_records(records)
    assert from_file.to_bytes(3) == from_records.to_bytes(3)


@pytest.mark.parametrize("chunk", [1, 2, 3, 7, 64])
@pytest.mark.parametrize(
    "tail, rows",
    [
        ("", 3),
        ('"tail ""q"",x",5,6', 4),  # last record without a line break
        ('"open quote,5,6\n', None),  # runs to the end: one field
    ],
)
def test_delimited_parsing_follows_the_csv_module_at_any_chunking(
    tmp_path, monkeypatch, chunk, tail, rows
):
    import quillomar.log_files as log_files

    body = '"a,""b""\r\nc",1,2\r\n\r\n  \nplain,2,3\rlast"x",3,4\n' + tail
    path = tmp_path / "log.csv"
    path.write_bytes(("term,video,count\r\n" + body).encode())
    monkeypatch.setattr(log_files, "CHUNK", chunk)
    parsed = [
        r for r in csv.reader(io.StringIO(body, newline="")) if r and (len(r) > 1 or r[0].strip())
    ]
    builder = IndexBuilder()
    if rows is None:
        assert len(parsed[-1]) == 1
        with pytest.raises(LogFileError, match=r":7: expected 3 fields, found 1"):
            add_file(builder, path)
        return
    assert add_file(builder, path) == rows == len(parsed)
    expected = IndexBuilder()
    expected.add_records([(t, int(v), int(c)) for t, v, c in parsed])
    assert builder.to_bytes() == expected.to_bytes()


BAD_LOGS = [
    # (bytes after the header, message, line)
    (b"caf\xe9,1,1\n", "not UTF-8 text", 2),
    (b"a\x00b,1,1\n", "U+0000", 2),
    (b",1,1\n", "term is empty", 2),
    (b"a,1,-1\n", "count -1 is negative", 2),
    (b"a,1,1.5\n", "count '1.5' is not an integer", 2),
    (b"a,1,4294967296\n", "count 4294967296 is above 4294967295", 2),
    (b"a,1,1\nb,4294967296,1\n", "video id 4294967296 is outside", 3),
    (b"a,1,1\nb,not-a-uuid,1\n", "video id 'not-a-uuid' is not a UUID", 3),
    (b"a,1,1\nb,00010203-0405-0607-0809-0a0b0c0d0e0f,1\n", "all ints or all UUIDs", 3),
    (b"a,1\n", "expected 3 fields, found 2", 2),
    (b'"' + b"x" * 200_000 + b'",1,1\n', "field larger than field limit", 2),
]


@settings(max_examples=300)
@given(
    st.binary(min_size=1, max_size=12).filter(
        lambda b: not any(c in b for c in b',"\n\r\x00\t') and b[:3] != b"\xef\xbb\xbf"
    )
)
def test_a_term_is_taken_exactly_when_it_is_utf8(tmp_path_factory, raw):
    # The engine's own check of the bytes must agree with a strict decoder
    # on every sequence: overlong forms, surrogates, values past U+10FFFF
    # and cut-off sequences refused, everything else kept as decoded.
    path = tmp_path_factory.mktemp("utf8") / "log.csv"
    path.write_bytes(b"term,video,count\n" + raw + b",1,1\n")
    builder = IndexBuilder()
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError:
        with pytest.raises(LogFileError, match="not UTF-8 text"):
            add_file(builder, path)
        return
    add_file(builder, path)
    expected = IndexBuilder()
    expected.add(text, 1, 1)
    assert builder.to_bytes() == expected.to_bytes()


@pytest.mark.parametrize("body, message, line", BAD_LOGS)
def test_bad_rows_name_file_and_line(tmp_path, body, message, line):
    path = tmp_path / "bad.csv"
    path.write_bytes(b"term,video,count\n" + body)
    with pytest.raises(LogFileError) as info:
        add_file(IndexBuilder(), path)
    assert str(info.value).startswith(f"{path}:{line}: ")
    assert message in str(info.value)


@pytest.mark.parametrize(
    "content, message",
    [
        (b"", "empty file"),
        (b"\x89PNG\r\n\x1a\n" + bytes(range(256)) * 8, "not UTF-8 text"),
        (b"x" * (1 << 21), "no header line"),
        (b"name,age\nbob,3\n", "lacks the column(s) term, video;"),
    ],
)
def test_files_that_are_not_logs_are_refused(tmp_path, content, message):
    path = tmp_path / "odd.bin"
    path.write_bytes(content)
    with pytest.raises(LogFileError, match="odd.bin") as info:
        add_file(IndexBuilder(), path)
    assert message in str(info.value)


def test_column_names_are_configurable(tmp_path):
    path = tmp_path / "log.tsv"
    path.write_text("Query\tvid\tn\ncat\t1\t2\n", encoding="utf-8")
    builder = IndexBuilder()
    add_file(builder, path, Columns("query", "VID", "n"))
    expected = IndexBuilder()
    expected.add("cat", 1, 2)
    assert builder.to_bytes() == expected.to_bytes()


@pytest.mark.parametrize("records", [[], [("cat", 1, 2), ("car", 2, 3)]])
def test_writing_into_a_file_gives_the_bytes(tmp_path, records):
    import os

    builder = IndexBuilder()
    builder.add_records(records)
    want = builder.to_bytes(5)
    path = tmp_path / "out.idx"
    fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o600)
    try:
        assert builder.write_to(fd, 5) == len(want)
    finally:
        os.close(fd)
    assert path.read_bytes() == want
    fd = os.open(path, os.O_RDONLY)
    try:
        with pytest.raises(OSError):
            builder.write_to(fd, 5, release=True)
    finally:
        os.close(fd)
    with pytest.raises(RuntimeError, match="consumed"):
        builder.add("dog", 1, 1)
