"""`quillomar build` on logs of every form, and on bad ones: one line on
stderr, exit status 2, no file written."""

import gzip

import pytest

from quillomar import IndexBuilder, PrefixSearch
from quillomar.storage import read_trailer
from test_cli import run

HEADER = b"term,video,count\n"
GOOD = HEADER + b"cat,1,2\ncar,2,3\ncat,1,1\n"


def expected_index_bytes():
    builder = IndexBuilder()
    builder.add_records([("cat", 1, 2), ("car", 2, 3), ("cat", 1, 1)])
    return builder.to_bytes()


def index_part(path):
    """The encoded index of a file that ``quillomar build`` wrote, without
    the metadata trailer after it."""
    length, _ = read_trailer(path)
    return path.read_bytes()[:length]


def parquet_file(path, **columns):
    pa = pytest.importorskip("pyarrow")
    pq = pytest.importorskip("pyarrow.parquet")
    pq.write_table(pa.table(columns), path)


@pytest.mark.parametrize("form", ["csv", "csv.gz", "parquet", "folder"])
def test_every_form_of_log_builds_the_same_index(tmp_path, form):
    source = tmp_path / f"log.{form}"
    if form == "csv":
        source.write_bytes(GOOD)
    elif form == "csv.gz":
        source.write_bytes(gzip.compress(GOOD))
    else:
        target = source
        if form == "folder":
            source.mkdir()
            (source / "_SUCCESS").write_bytes(b"")
            target = source / "part-00000.parquet"
        parquet_file(target, term=["cat", "car", "cat"], video=[1, 2, 1], count=[2, 3, 1])
    out = tmp_path / "log.idx"
    run("build", source, "-o", out, "--top-n", "20")
    assert index_part(out) == expected_index_bytes()
    PrefixSearch.from_bytes(out.read_bytes())


def test_other_column_names(tmp_path):
    source = tmp_path / "log.tsv"
    source.write_text("q\tv\tn\tother\ncat\t1\t2\tx\ncar\t2\t3\tx\ncat\t1\t1\tx\n")
    out = tmp_path / "log.idx"
    run(
        "build",
        source,
        "-o",
        out,
        "--term-column",
        "q",
        "--video-column",
        "V",
        "--count-column",
        "n",
    )
    assert index_part(out) == expected_index_bytes()
    proc = run("build", source, "-o", out, check_status=2)
    assert "lacks the column(s) term, video;" in proc.stderr


def bad_parquet(kind):
    def make(path):
        if kind == "missing":
            parquet_file(path, term=["a"], count=[1])
        elif kind == "type":
            parquet_file(path, term=["a"], video=[1], count=[0.5])
        else:
            parquet_file(path, term=["a"] * 1000, video=list(range(1000)), count=[1] * 1000)
            path.write_bytes(path.read_bytes()[:-30])

    return make


BAD = [
    # (name, make(path), text expected on stderr)
    ("utf8.csv", HEADER + b"caf\xe9,1,1\n", "utf8.csv:2: term is not UTF-8 text"),
    ("nul.csv", HEADER + b"a\x00,1,1\n", "nul.csv:2: term contains U+0000"),
    ("empty.csv", HEADER + b"ok,1,1\n,1,1\n", "empty.csv:3: term is empty"),
    ("neg.csv", HEADER + b"a,1,-4\n", "neg.csv:2: count -4 is negative"),
    ("big.csv", HEADER + b"a,1,99999999999\n", "big.csv:2: count 99999999999 is above"),
    ("word.csv", HEADER + b"a,1,ten\n", "word.csv:2: count 'ten' is not an integer"),
    ("id.csv", HEADER + b"a,12-34,1\n", "id.csv:2: video id '12-34' is not a UUID"),
    (
        "mixed.csv",
        HEADER + b"a,1,1\nb,{00010203-0405-0607-0809-0a0b0c0d0e0f},1\n",
        "mixed.csv:3: video id is a UUID but earlier records used int ids",
    ),
    ("cut.csv.gz", gzip.compress(GOOD * 100)[:-40], "cut.csv.gz: damaged gzip data"),
    (
        "huge.csv",
        HEADER + b"a" * (300 << 20 >> 4) + b",1,1\n",
        "huge.csv:2: field larger than field limit",
    ),
    ("binary.dat", bytes(range(256)) * 4096, "binary.dat"),
    ("missing.parquet", bad_parquet("missing"), "no column 'video'"),
    ("type.parquet", bad_parquet("type"), "count column 'count' has type double"),
    ("cut.parquet", bad_parquet("cut"), "cut.parquet"),
]


@pytest.mark.parametrize("name, content, message", BAD, ids=[b[0] for b in BAD])
def test_bad_input_is_one_line_exit_2_and_no_file(tmp_path, name, content, message):
    source = tmp_path / name
    if callable(content):
        content(source)
    else:
        source.write_bytes(content)
    out = tmp_path / "never.idx"
    proc = run("build", source, "-o", out, check_status=2)
    assert proc.stderr.count("\n") == 1 and proc.stderr.startswith("quillomar: error:")
    assert message in proc.stderr
    assert not out.exists()
    assert sorted(p.name for p in tmp_path.iterdir()) == [name]
