"""Logs of one row per event, without a count column: every row counts 1,
from CSV, TSV, gzip, Parquet, Arrow and Python records alike, with the
usual one-line messages for bad rows."""

import gzip

import pytest

from quillomar import IndexBuilder
from quillomar.log_files import Columns, LogFileError, add_file
from test_cli import run
from test_cli_build_inputs import index_part

EVENTS = [("cat", 1), ("car", 2), ("cat", 1), ("cat", 3), ("car", 2)]


def counted_bytes(events=EVENTS, top_n=20):
    builder = IndexBuilder()
    builder.add_records([(t, v, 1) for t, v in events])
    return builder.to_bytes(top_n)


def write_log(path, form, header, rows):
    sep = "\t" if form.startswith("tsv") else ","
    text = sep.join(header) + "\n" + "".join(sep.join(map(str, r)) + "\n" for r in rows)
    data = text.encode()
    path.write_bytes(gzip.compress(data) if form.endswith(".gz") else data)


@pytest.mark.parametrize("form", ["csv", "tsv", "csv.gz"])
@pytest.mark.parametrize(
    "header, rows",
    [
        (("term", "video"), EVENTS),
        (("video", "extra", "term"), [(v, "x", t) for t, v in EVENTS]),
    ],
)
def test_delimited_event_log_counts_each_row_once(tmp_path, form, header, rows):
    path = tmp_path / f"log.{form}"
    write_log(path, form, header, rows)
    builder = IndexBuilder()
    assert add_file(builder, path) == len(EVENTS)
    assert builder.to_bytes() == counted_bytes()


def test_count_column_none_ignores_a_count_column(tmp_path):
    path = tmp_path / "log.csv"
    write_log(path, "csv", ("term", "video", "count"), [(t, v, 9) for t, v in EVENTS])
    builder = IndexBuilder()
    add_file(builder, path, Columns(count=None))
    assert builder.to_bytes() == counted_bytes()
    out = tmp_path / "out.idx"
    run("build", path, "-o", out, "--count-column", "none", "--normalize", "none")
    assert index_part(out) == counted_bytes()


def test_a_named_count_column_is_still_required(tmp_path):
    path = tmp_path / "log.csv"
    write_log(path, "csv", ("term", "video"), EVENTS)
    proc = run("build", path, "-o", tmp_path / "x.idx", "--count-column", "n", check_status=2)
    assert "lacks the column(s) n;" in proc.stderr
    assert len(proc.stderr.splitlines()) == 1


@pytest.mark.parametrize(
    "body, message",
    [
        ("cat,1\ncat\n", "log.csv:3: expected 2 fields, found 1"),
        ("cat,1\ncat,not-a-uuid\n", "log.csv:3: "),
        ("cat,1\n,2\n", "log.csv:3: "),
    ],
)
def test_bad_event_rows_name_their_line(tmp_path, body, message):
    path = tmp_path / "log.csv"
    path.write_text("term,video\n" + body)
    with pytest.raises(LogFileError) as err:
        add_file(IndexBuilder(), path)
    assert str(err.value).startswith(f"{path}:{message.split(':', 1)[1]}")


@pytest.mark.parametrize("source", ["table", "parquet"])
def test_arrow_and_parquet_without_counts(tmp_path, source):
    pa = pytest.importorskip("pyarrow")
    pq = pytest.importorskip("pyarrow.parquet")
    table = pa.table({"term": [t for t, _ in EVENTS], "video": [v for _, v in EVENTS]})
    builder = IndexBuilder()
    if source == "table":
        assert builder.add_arrow(table, count_column=None) == len(EVENTS)
    else:
        pq.write_table(table, tmp_path / "log.parquet")
        assert add_file(builder, tmp_path / "log.parquet") == len(EVENTS)
    assert builder.to_bytes() == counted_bytes()


def test_add_events_counts_one_each_and_names_a_bad_event():
    builder = IndexBuilder()
    builder.add_events(EVENTS)
    assert builder.to_bytes() == counted_bytes()
    with pytest.raises(ValueError, match=r"record \('cat', 1, 2\): expected a \(term, video\)"):
        builder.add_events([("dog", 4), ("cat", 1, 2)])
    with pytest.raises(ValueError, match=r"record \('', 5\)"):
        builder.add_events([("", 5)])
    assert builder.to_bytes() == counted_bytes()  # all or nothing
