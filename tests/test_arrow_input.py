"""Arrow tables, readers, polars and DuckDB results, and Parquet datasets
as input: the same index as the same rows given as records."""

import uuid

import pytest

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

from quillomar import IndexBuilder  # noqa: E402
from quillomar.log_files import LogFileError, add_file  # noqa: E402

RECORDS = [
    ("cat", 5, 2),
    ("car", 7, 1),
    ("cat", 5, 3),
    ("\u4e2d\U0001f600", 9, 4),
    ("dog", 7, 0),
    ("cat", 9, 2147483647),
]
UUIDS = [uuid.UUID(int=n * 977 + 1) for n in range(10)]


def expected_bytes(records, top_n=3):
    builder = IndexBuilder()
    builder.add_records(records)
    return builder.to_bytes(top_n)


def table_of(records, term_type=None, video_type=None, count_type=None, chunks=1):
    terms, videos, counts = zip(*records)
    columns = {
        "term": pa.array(terms, term_type or pa.string()),
        "video": pa.array(videos, video_type),
        "count": pa.array(counts, count_type or pa.int64()),
    }
    table = pa.table(columns)
    if chunks > 1:
        step = max(1, len(records) // chunks)
        table = pa.concat_tables([table.slice(i, step) for i in range(0, len(records), step)])
    return table


@pytest.mark.parametrize(
    "term_type",
    [pa.string(), pa.large_string(), pa.string_view(), pa.dictionary(pa.int32(), pa.string())],
)
@pytest.mark.parametrize("video_type", [pa.uint32(), pa.int64(), pa.int32()])
@pytest.mark.parametrize("count_type", [pa.int32(), pa.int64(), pa.uint32()])
@pytest.mark.parametrize("chunks", [1, 4])
def test_integer_ids_in_any_column_type(term_type, video_type, count_type, chunks):
    table = table_of(RECORDS, term_type, video_type, count_type, chunks)
    builder = IndexBuilder()
    assert builder.add_arrow(table) == len(RECORDS)
    assert builder.to_bytes(3) == expected_bytes(RECORDS)


@pytest.mark.parametrize("form", ["text", "binary", "uuid_type"])
def test_uuid_ids_as_text_binary_or_the_uuid_type(form):
    records = [(t, UUIDS[v], c) for t, v, c in RECORDS]
    terms, videos, counts = zip(*records)
    if form == "text":
        column = pa.array([str(u).upper() for u in videos])
    elif form == "binary":
        column = pa.array([u.bytes for u in videos], pa.binary(16))
    else:
        column = pa.array([u.bytes for u in videos], pa.uuid())
    table = pa.table({"term": terms, "video": column, "count": pa.array(counts, pa.int64())})
    builder = IndexBuilder()
    builder.add_arrow(table.slice(1))  # a slice: buffers start at an offset
    builder.add_arrow(table.slice(0, 1))
    assert builder.to_bytes(3) == expected_bytes(records[1:] + records[:1])


def test_readers_polars_and_capsule_objects_give_the_same_index():
    table = table_of(RECORDS)
    want = expected_bytes(RECORDS)
    reader = pa.RecordBatchReader.from_batches(table.schema, table.to_batches(max_chunksize=2))

    class CapsuleOnly:
        def __arrow_c_stream__(self, requested_schema=None):
            return table.__arrow_c_stream__(requested_schema)

    sources = [reader, CapsuleOnly(), table.to_batches()[0]]
    polars = pytest.importorskip("polars")
    sources.append(polars.from_arrow(table))
    for source in sources:
        builder = IndexBuilder()
        builder.add_arrow(source)
        assert builder.to_bytes(3) == want, type(source)


@pytest.mark.parametrize(
    "table, message",
    [
        (pa.table({"term": ["a", None], "video": [1, 2], "count": [1, 1]}), "row 1: term is null"),
        (
            pa.table({"term": ["a", "b"], "video": [1, None], "count": [1, 1]}),
            "row 1: video id is null",
        ),
        (
            pa.table({"term": ["a", "b"], "video": [1, 2], "count": [1, -3]}),
            "row 1: count -3 is negative",
        ),
        (pa.table({"term": ["a", ""], "video": [1, 2], "count": [1, 1]}), "row 1: term is empty"),
        (
            pa.table({"term": ["a", "b\x00"], "video": [1, 2], "count": [1, 1]}),
            "row 1: term contains U+0000",
        ),
        (
            pa.table({"term": ["a", "b"], "video": [1, 2**32], "count": [1, 1]}),
            "row 1: video id 4294967296 is outside",
        ),
        (
            pa.table({"term": ["a", "b"], "video": ["x", "y"], "count": [1, 1]}),
            "row 0: video id 'x' is not a UUID",
        ),
        (
            pa.table({"term": ["a"], "video": [1], "count": [1.5]}),
            "count column 'count' has type double",
        ),
        (pa.table({"term": [1], "video": [1], "count": [1]}), "term column 'term' has type int64"),
        (
            pa.table({"term": ["a"], "video": [1.0], "count": [1]}),
            "video column 'video' has type double",
        ),
        (pa.table({"term": ["a"], "count": [1]}), "no column 'video' (columns: term, count)"),
    ],
)
def test_bad_rows_and_columns_name_what_is_wrong(table, message):
    builder = IndexBuilder()
    with pytest.raises(ValueError) as info:
        builder.add_arrow(table)
    assert message in str(info.value)
    assert len(builder) == 0


def test_mixed_id_kinds_across_batches_are_refused():
    builder = IndexBuilder()
    builder.add("a", UUIDS[0], 1)
    with pytest.raises(ValueError, match="row 0: .*earlier records used UUIDs"):
        builder.add_arrow(table_of(RECORDS))


def write_spark_style(root, table, parts):
    """Partition folders of part files and a _SUCCESS marker."""
    root.mkdir()
    (root / "_SUCCESS").write_bytes(b"")
    step = -(-table.num_rows // parts)
    for k in range(parts):
        folder = root / f"day=2026-01-0{k + 1}"
        folder.mkdir()
        pq.write_table(table.slice(k * step, step), folder / f"part-0000{k}.snappy.parquet")


def test_spark_style_folder_builds_what_the_concatenated_rows_build(tmp_path):
    records = [(f"term {i % 37} {'x' * (i % 5)}", i % 11, i % 4) for i in range(300)]
    write_spark_style(tmp_path / "out", table_of(records), parts=3)
    builder = IndexBuilder()
    assert add_file(builder, tmp_path / "out") == len(records)
    assert builder.to_bytes(3) == expected_bytes(records)
    single = tmp_path / "one.parquet"
    pq.write_table(table_of(records), single)
    from_file = IndexBuilder()
    add_file(from_file, single)
    assert from_file.to_bytes(3) == expected_bytes(records)


def test_duckdb_aggregation_to_parquet_then_build(tmp_path):
    duckdb = pytest.importorskip("duckdb")
    raw = tmp_path / "raw.csv"
    rows = [(f"q{i % 13}", i % 7, 1 + i % 3) for i in range(500)]
    raw.write_text("term,video,count\n" + "".join(f"{t},{v},{c}\n" for t, v, c in rows))
    out = tmp_path / "agg"
    duckdb.sql(
        f"COPY (SELECT term, video, sum(count)::BIGINT AS count "
        f"FROM read_csv('{raw}') GROUP BY term, video ORDER BY term, video) "
        f"TO '{out}' (FORMAT parquet, PER_THREAD_OUTPUT true)"
    )
    from_duckdb = IndexBuilder()
    add_file(from_duckdb, out)
    # Video numbers follow first appearance, so compare with the same order.
    totals = {}
    for t, v, c in rows:
        totals[(t, v)] = totals.get((t, v), 0) + c
    ordered = IndexBuilder()
    ordered.add_records((t, v, c) for (t, v), c in sorted(totals.items()))
    assert from_duckdb.to_bytes(3) == ordered.to_bytes(3)
    direct = IndexBuilder()
    direct.add_arrow(duckdb.sql(f"SELECT * FROM read_parquet('{out}/*.parquet')"))
    assert len(direct) == len(ordered) == 13


@pytest.mark.parametrize("damage", ["truncated", "missing column", "wrong type"])
def test_bad_parquet_is_one_clear_error(tmp_path, damage):
    path = tmp_path / "log.parquet"
    if damage == "missing column":
        pq.write_table(pa.table({"term": ["a"], "count": [1]}), path)
    elif damage == "wrong type":
        pq.write_table(pa.table({"term": ["a"], "video": [1], "count": ["7"]}), path)
    else:
        pq.write_table(table_of(RECORDS * 50), path)
        path.write_bytes(path.read_bytes()[:-20])
    with pytest.raises(LogFileError, match="log.parquet"):
        add_file(IndexBuilder(), path)
