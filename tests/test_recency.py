"""Decayed counts: rows weigh by their age before the as-of time, weights
sum per (term, video) and become counts by the documented rule."""

import datetime

import pytest

from quillomar import IndexBuilder
from quillomar.recency import COUNT_SCALE, parse_duration, parse_time
from quillomar.storage import read_trailer
from test_cli import run

pa = pytest.importorskip("pyarrow")

DAY = 86400
T0 = 1_767_225_600  # 2026-01-01T00:00:00Z


def counts_of(builder):
    """{video: count} of a one-term builder's term."""
    arrays = builder.arrays()
    (payload,) = [p for p in arrays.payloads if p is not None]
    ids = [int.from_bytes(arrays.video_index[v], "little") for v in payload[1]]
    return dict(zip(ids, payload[2]))


@pytest.mark.parametrize(
    "text, seconds",
    [
        ("7d", 7 * DAY),
        ("12h", 43200),
        ("30m", 1800),
        ("3600s", 3600),
        ("90", 90),
        ("1.5h", 5400),
        ("2w", 14 * DAY),
    ],
)
def test_durations(text, seconds):
    assert parse_duration(text) == seconds


@pytest.mark.parametrize("text", ["7 days", "0s", "-1d", "", "d", "1e3"])
def test_bad_durations(text):
    with pytest.raises(ValueError, match="half-life"):
        parse_duration(text)


@pytest.mark.parametrize(
    "value",
    [
        "2026-01-01T00:00:00Z",
        "2026-01-01T01:00:00+01:00",
        "2026-01-01 00:00:00",
        str(T0),
        T0,
        datetime.datetime(2026, 1, 1),
    ],
)
def test_times(value):
    assert parse_time(value) == T0


def build_decayed(
    times, *, half_life="1d", as_of=None, counts=None, terms=None, videos=None, normalization="none"
):
    n = len(times)
    columns = {
        "term": terms or ["yoga"] * n,
        "video": videos or list(range(1, n + 1)),
        "ts": times,
    }
    if counts is not None:
        columns["count"] = counts
    builder = IndexBuilder(half_life=half_life, as_of=as_of, normalization=normalization)
    builder.add_arrow(pa.table(columns), count_column="count" if counts else None, time_column="ts")
    return builder


def test_weights_halve_per_half_life_and_the_largest_is_the_scale():
    # Video 1: two searches now; 2: one a day old; 3: two, two days old;
    # 4: one a hundred days old, which keeps a count of 1.
    times = [T0, T0, T0 - DAY, T0 - 2 * DAY, T0 - 2 * DAY, T0 - 100 * DAY]
    builder = build_decayed(times, videos=[1, 1, 2, 3, 3, 4])
    assert counts_of(builder) == {
        1: COUNT_SCALE,
        2: COUNT_SCALE // 4,
        3: COUNT_SCALE // 4,
        4: 1,
    }
    assert builder.recency == (DAY, T0)


def test_counts_multiply_the_weights():
    builder = build_decayed([T0, T0 - DAY], counts=[1, 6], videos=[1, 2])
    assert counts_of(builder) == {2: COUNT_SCALE, 1: COUNT_SCALE // 3}


def test_weights_sum_over_terms_that_normalise_alike():
    builder = build_decayed(
        [T0, T0 - DAY, T0 - DAY],
        terms=["Yoga", "yoga", "YOGA"],
        videos=[1, 2, 2],
        normalization="default",
    )
    # 0.5 + 0.5 for video 2, as one term: equal to video 1.
    assert counts_of(builder) == {1: COUNT_SCALE, 2: COUNT_SCALE}


@pytest.mark.parametrize(
    "times",
    [
        [T0 - DAY, T0],
        [float(T0 - DAY), float(T0)],
        ["2025-12-31T00:00:00Z", "2026-01-01T00:00:00Z"],
        pa.array([(T0 - DAY) * 1000, T0 * 1000], pa.timestamp("ms", tz="UTC")),
        pa.array([(T0 - DAY) * 10**9, T0 * 10**9], pa.timestamp("ns")),
    ],
    ids=["unix-int", "unix-float", "iso-text", "timestamp-ms-utc", "timestamp-ns"],
)
def test_every_form_of_time_gives_the_same_index(times):
    reference = build_decayed([T0 - DAY, T0]).to_bytes()
    assert build_decayed(times).to_bytes() == reference


def test_as_of_defaults_to_the_newest_row_and_rebuilds_are_identical():
    times = [T0 - 3 * DAY, T0 - DAY, T0]
    first = build_decayed(times).to_bytes()
    assert build_decayed(times).to_bytes() == first
    assert build_decayed(times, as_of=T0).to_bytes() == first
    # A later as-of ages every row alike: the counts keep their ratios.
    assert build_decayed(times, as_of=T0 + 5 * DAY).to_bytes() == first


@pytest.mark.parametrize(
    "times, as_of, message",
    [
        ([T0, T0 + 10, T0], T0, r"row 1: time .* is after the as-of time 2026-01-01T00:00:00Z"),
        (
            ["2026-01-01T00:00:00Z", "yesterday"],
            None,
            r"row 1: time 'yesterday' is neither ISO 8601 nor Unix seconds",
        ),
        ([T0, None], None, r"row 1: time is null"),
    ],
)
def test_future_or_unreadable_times_name_the_row(times, as_of, message):
    with pytest.raises(ValueError, match=message):
        build_decayed(times, as_of=as_of)


def test_a_time_column_needs_a_half_life_and_rows_come_before_the_layout():
    table = pa.table({"term": ["a"], "video": [1], "ts": [T0]})
    with pytest.raises(ValueError, match="needs a half-life"):
        IndexBuilder().add_arrow(table, count_column=None, time_column="ts")
    builder = IndexBuilder(half_life="1d")
    builder.add_arrow(table, count_column=None, time_column="ts")
    builder.to_bytes()
    with pytest.raises(ValueError, match="before the index is laid out"):
        builder.add_arrow(table, count_column=None, time_column="ts")


def test_cli_decays_a_csv_log_and_records_it(tmp_path):
    log = tmp_path / "log.csv"
    log.write_text(
        "term,video,when\nyoga,1,2026-01-01T00:00:00Z\nyoga,2,2025-12-31T00:00:00Z\n"
        f"yoga,2,{T0 - DAY}\n"
    )
    out = tmp_path / "out.idx"
    run("build", log, "-o", out, "--time-column", "when", "--half-life", "24h")
    _, meta = read_trailer(out)
    assert (meta.half_life, meta.as_of) == (DAY, "2026-01-01T00:00:00Z")
    proc = run(
        "build",
        log,
        "-o",
        tmp_path / "x.idx",
        "--time-column",
        "when",
        "--half-life",
        "1d",
        "--as-of",
        "2025-12-31T12:00:00Z",
        check_status=2,
    )
    assert f"{log}:2: time " in proc.stderr and "after the as-of time" in proc.stderr
    assert len(proc.stderr.splitlines()) == 1
    assert not (tmp_path / "x.idx").exists()


@pytest.mark.parametrize("method", ["write_to", "write_with_section"])
def test_file_writers_count_the_decayed_rows(tmp_path, method):
    import os

    times = [T0, T0 - DAY, T0 - 2 * DAY]
    want = build_decayed(times).to_bytes()
    path = tmp_path / "out.idx"
    fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o600)
    try:
        getattr(build_decayed(times), method)(fd, release=True)
    finally:
        os.close(fd)
    assert path.read_bytes() == want
