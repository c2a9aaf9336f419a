"""The command line, run as `python -m quillomar` in a subprocess."""

import gzip
import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from quillomar import PrefixSearch, _atomic
from quillomar._format import FormatError, summarize

RECORDS_TSV = (
    "term\tvideo\tcount\n"
    "guitar chords\t101\t50\n"
    "guitar chords\t102\t30\n"
    "guitar lessons\t101\t20\n"
    "gin\t300\t5\n"
    "piano\t200\t40\n"
    "guitar chords\t101\t10\n"  # adds up with the first row
)


def run(*args, cwd=None, check_status=0):
    env = dict(os.environ)
    if env.get("PYTHONPATH"):  # development runs: keep it valid in any cwd
        env["PYTHONPATH"] = os.pathsep.join(
            os.path.abspath(p) for p in env["PYTHONPATH"].split(os.pathsep)
        )
    argv = [os.fsencode(str(a)) for a in args]  # undecodable bytes survive
    proc = subprocess.run(
        [os.fsencode(sys.executable), b"-m", b"quillomar", *argv],
        capture_output=True,
        text=True,
        cwd=cwd,
        timeout=120,
        env=env,
    )
    assert "Traceback" not in proc.stderr, proc.stderr
    if check_status is not None:
        assert proc.returncode == check_status, (proc.stdout, proc.stderr)
    return proc


@pytest.fixture
def index_path(tmp_path):
    records = tmp_path / "records.tsv"
    records.write_text(RECORDS_TSV, encoding="utf-8")
    out = tmp_path / "searches.idx"
    run("build", records, "-o", out, "--top-n", "5")
    return out


@pytest.mark.parametrize("command", [[], ["build"], ["query"], ["info"], ["demo"]])
def test_help_on_every_command(command):
    proc = run(*command, "--help")
    assert proc.stdout.startswith("usage: quillomar")


@pytest.mark.parametrize(
    "name, content, compress",
    [
        ("r.tsv", RECORDS_TSV, False),
        ("r.tsv.gz", RECORDS_TSV, True),
        ("r.csv", RECORDS_TSV.replace("\t", ","), False),
        ("r.data", RECORDS_TSV.replace("\t", ","), True),  # gzip known by content
        # Columns in another order, an extra column, CRLF lines, a blank line.
        (
            "r.csv",
            "count,extra,video,term\r\n50,x,101,guitar chords\r\n\r\n40,y,200,piano\r\n",
            False,
        ),
        ("bom.csv", "\ufeffterm,video,count\npiano,200,40\n", False),
    ],
)
def test_build_reads_csv_tsv_and_gzip(tmp_path, name, content, compress):
    path = tmp_path / name
    data = content.encode("utf-8")
    path.write_bytes(gzip.compress(data) if compress else data)
    out = tmp_path / "out.idx"
    proc = run("build", path, "-o", out)
    assert proc.stdout.startswith(f"wrote {out}:")
    index = PrefixSearch.from_bytes(out.read_bytes())
    assert index.fuzzy_match("piano", 0) == [("piano", 1, 0)]
    assert not [p for p in tmp_path.iterdir() if p.name.endswith(".tmp")]


def test_csv_quoting_keeps_commas_in_terms(tmp_path):
    path = tmp_path / "r.csv"
    path.write_text('term,video,count\n"salt, pepper",1,2\n', encoding="utf-8")
    run("build", path, "-o", tmp_path / "o.idx")
    proc = run("query", tmp_path / "o.idx", "salt, pepper", "--json")
    assert json.loads(proc.stdout) == {"term": "salt, pepper", "distance": 0}


def test_info_reports_counts(index_path):
    proc = run("info", index_path)
    fields = dict(re.split(r"\s{2,}", line, maxsplit=1) for line in proc.stdout.splitlines())
    assert fields["terms"].strip() == "4"
    assert fields["videos"].strip() == "4"
    assert fields["identifier mode"].strip() == "int32"
    assert fields["encoded size"].strip() == f"{index_path.stat().st_size:,} bytes"
    # guitar chords / guitar lessons / gin / piano: distinct prefixes + root.
    prefixes = {
        t[:i]
        for t in ["guitar chords", "guitar lessons", "gin", "piano"]
        for i in range(len(t) + 1)
    }
    assert fields["nodes"].strip() == str(len(prefixes))


def test_query_terms_table_and_json(index_path):
    proc = run("query", index_path, "guitar chord")
    lines = proc.stdout.splitlines()
    assert lines[0].split() == ["term", "distance"]
    assert lines[2].split() == ["guitar", "chords", "1"]
    proc = run("query", index_path, "gitar lessons", "--max-dist", "2", "--json")
    assert [json.loads(x) for x in proc.stdout.splitlines()] == [
        {"term": "guitar lessons", "distance": 1}
    ]
    proc = run("query", index_path, "zzzz")
    assert proc.stdout.startswith("no terms within 1 edit")


def test_query_terms_sorted_closest_first_then_limited(index_path):
    proc = run("query", index_path, "gin", "--max-dist", "20", "--json", "--limit", "2")
    rows = [json.loads(x) for x in proc.stdout.splitlines()]
    assert rows[0] == {"term": "gin", "distance": 0}
    assert len(rows) == 2 and rows[1]["distance"] >= 1


def test_query_videos(index_path):
    proc = run("query", index_path, "guitar chords", "--videos", "--json")
    rows = [json.loads(x) for x in proc.stdout.splitlines()]
    assert [r["video"] for r in rows] == ["101", "102"]
    assert [r["score"] for r in rows] == pytest.approx([60 / 90, 30 / 90])
    # Half-typed: no term within one edit, so the prefix node answers.
    proc = run("query", index_path, "guit", "--videos")
    lines = proc.stdout.splitlines()
    assert lines[0].split() == ["rank", "video", "score"]
    assert lines[2].split()[:2] == ["1", "101"]
    proc = run("query", index_path, "guitar chords", "--videos", "--min-score", "0.5", "--json")
    assert [json.loads(x)["video"] for x in proc.stdout.splitlines()] == ["101"]
    # --exact: 'gi' is one edit from the term 'gin'; with --prefix-nodes the
    # prefixes 'g', 'gu' and 'pi' are scored too, bringing in guitar and
    # piano videos.
    plain = run("query", index_path, "gi", "--videos", "--json", "--exact").stdout
    assert [json.loads(x)["video"] for x in plain.splitlines()] == ["300"]
    wider = run("query", index_path, "gi", "--videos", "--prefix-nodes", "--json", "--exact").stdout
    assert {json.loads(x)["video"] for x in wider.splitlines()} == {"300", "101", "102", "200"}


@pytest.mark.parametrize(
    "content, message",
    [
        (None, "cannot read index"),
        (b"", "not a quillomar index"),
        (b"hello, this is not an index\n" * 3, "not a quillomar index"),
        ("truncated", "not a quillomar index"),
    ],
)
@pytest.mark.parametrize("command", [["info"], ["query", "{}", "x"]])
def test_bad_index_file_is_one_line_and_status_2(tmp_path, index_path, content, message, command):
    bad = tmp_path / "bad.idx"
    if content == "truncated":
        bad.write_bytes(index_path.read_bytes()[:-3])
    elif content is not None:
        bad.write_bytes(content)
    args = [a.replace("{}", str(bad)) for a in command]
    if command == ["info"]:
        args.append(str(bad))
    proc = run(*args, check_status=2)
    assert proc.stdout == ""
    assert len(proc.stderr.splitlines()) == 1
    assert proc.stderr.startswith("quillomar: error:") and message in proc.stderr


@pytest.mark.parametrize(
    "row, message",
    [
        ("cat\t1\t-5", "count -5 is negative"),
        ("cat\t1\tmany", "count 'many' is not an integer"),
        ("\t1\t5", "term is empty"),
        ("cat\tnot-an-id\t5", "is not a UUID"),
        ("cat\t1", "expected 3 fields"),
    ],
)
def test_bad_records_leave_the_old_index_intact(tmp_path, index_path, row, message):
    records = tmp_path / "bad.tsv"
    records.write_text("term\tvideo\tcount\ndog\t2\t1\n" + row + "\n", encoding="utf-8")
    before = index_path.read_bytes()
    proc = run("build", records, "-o", index_path, check_status=2)
    assert "bad.tsv:3: " in proc.stderr and message in proc.stderr
    assert index_path.read_bytes() == before
    fresh = tmp_path / "never.idx"
    run("build", records, "-o", fresh, check_status=2)
    assert not fresh.exists()
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(
        ["bad.tsv", "records.tsv", "searches.idx"]
    )


@pytest.mark.parametrize(
    "args, message",
    [
        (["build", "missing.tsv", "-o", "x.idx"], "cannot read records"),
        (["build", "{header}", "-o", "x.idx"], "lacks the column(s) video;"),
        (["build", "{latin1}", "-o", "x.idx"], "not UTF-8 text"),
        (["build", "{badgzip}", "-o", "x.idx"], "damaged gzip data"),
        (["build", "{records}", "-o", "no/such/dir/x.idx"], "cannot write index"),
        (["query", "{index}", "x", "--min-score", "0.5"], "only with --videos"),
        (["query", "{index}", "x", "--max-dist", "-1"], "outside 0..4294967295"),
        (["frobnicate"], "invalid choice"),
        (["query", "{index}", "gu\udcff"], "is not valid UTF-8 text"),
        (["demo", "gu\udcff"], "is not valid UTF-8 text"),
    ],
)
def test_usage_and_input_errors_exit_2(tmp_path, index_path, args, message):
    (tmp_path / "header.tsv").write_text("term\tcount\n", encoding="utf-8")
    (tmp_path / "latin1.tsv").write_bytes("term\tvideo\tcount\ncaf\xe9\t1\t1\n".encode("latin-1"))
    (tmp_path / "bad.gz").write_bytes(gzip.compress(RECORDS_TSV.encode())[:-12])
    names = {
        "header": tmp_path / "header.tsv",
        "records": tmp_path / "records.tsv",
        "index": index_path,
        "latin1": tmp_path / "latin1.tsv",
        "badgzip": tmp_path / "bad.gz",
    }
    proc = run(*[a.format(**names) for a in args], cwd=tmp_path, check_status=2)
    assert message in proc.stderr
    assert len(proc.stderr.splitlines()) == 1


def test_demo_runs_offline_with_no_argument():
    proc = run("demo")
    assert proc.stdout.startswith("sample index: ")
    assert "'gutiar chords'  (misspelt" in proc.stdout
    assert "terms:  'guitar chords' (2)" in proc.stdout
    # A half-typed query is answered with ranked videos through its prefix.
    half = proc.stdout.split("'chess open'")[1].split("\n\n")[0]
    assert "1. " in half and "Chess Openings" in half


def test_damaged_but_decodable_index_is_reported_not_crashed(tmp_path):
    # Node 1's payload lists two videos but one count: the decoder takes it,
    # ranking then meets the missing count.
    arrays_index = PrefixSearch.from_internal_data_v2(
        [0, 1], ["", "a"], [None, (5, [0], [5])], [1], [b"\x07\0\0\0"], 10
    )
    data = bytearray(arrays_index.to_bytes())
    # Payload of node 1: 01 05 01 00 01 05 -> claim two ids, one count.
    tail = bytes([1, 5, 1, 0, 1, 5])
    pos = data.rindex(tail)
    data[pos : pos + len(tail)] = bytes([1, 5, 2, 0, 0, 1, 5])
    bad = tmp_path / "damaged.idx"
    bad.write_bytes(bytes(data))
    PrefixSearch.from_bytes(bytes(data))  # the decoder accepts it
    proc = run("query", bad, "a", "--videos", check_status=2)
    assert proc.stderr.startswith(f"quillomar: error: index {str(bad)!r} is damaged")


def test_atomic_write_failure_keeps_old_file(tmp_path, monkeypatch):
    target = tmp_path / "index.idx"
    target.write_bytes(b"old")

    def failing_fsync(fd):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(_atomic.os, "fsync", failing_fsync)
    with pytest.raises(OSError):
        _atomic.write_atomic(target, b"new contents")
    assert target.read_bytes() == b"old"
    assert os.listdir(tmp_path) == ["index.idx"]
    monkeypatch.undo()
    _atomic.write_atomic(target, b"new contents")
    assert target.read_bytes() == b"new contents"
    umask = os.umask(0)
    os.umask(umask)
    assert target.stat().st_mode & 0o777 == 0o666 & ~umask


def test_summary_reader_matches_the_worked_example():
    example = bytes.fromhex("020001 020061 0101 02 010501000105 010501000105 00 01fb2c01 01 020001")
    summary = summarize(example)
    assert (
        summary.nodes,
        summary.terms,
        summary.videos,
        summary.id_mode,
        summary.child_slots,
        summary.longest_video_list,
        summary.consistent,
        summary.trailing_bytes,
    ) == (2, 1, 1, "int32", 1, 1, True, 0)
    assert summarize(example + b"xx").trailing_bytes == 2
    for cut in range(len(example)):
        with pytest.raises(FormatError):
            summarize(example[:cut])


def test_console_script_is_installed():
    script = Path(sys.executable).with_name("quillomar")
    if not script.exists():
        script = shutil.which("quillomar")
    if not script:
        pytest.skip("package not installed (development run)")
    proc = subprocess.run([str(script), "--version"], capture_output=True, text=True)
    assert proc.returncode == 0 and proc.stdout.startswith("quillomar ")


def test_error_line_is_found_past_the_first_batch(tmp_path):
    # Records are added in batches; a bad record in a later batch is still
    # reported with its own line number.
    records = tmp_path / "long.tsv"
    good = "".join(f"t{i}\t{i}\t1\n" for i in range(70_000))
    records.write_text("term\tvideo\tcount\n" + good + "x\tnot-a-uuid\t1\n", encoding="utf-8")
    proc = run("build", records, "-o", tmp_path / "o.idx", check_status=2)
    assert "long.tsv:70002: " in proc.stderr


def test_progress_bar_draws_only_when_asked(monkeypatch):
    import io

    from quillomar._progress import ProgressBar

    quiet = io.StringIO()
    bar = ProgressBar("reading", stream=quiet, delay=0)
    bar.update(5, 10)
    bar.close()
    assert quiet.getvalue() == "", "not a terminal: nothing drawn"

    shown = io.StringIO()
    bar = ProgressBar("reading", stream=shown, delay=0, force=True)
    bar.update(5, 10, rows=1234)
    bar.update(10, 10)
    bar.close()
    frames = shown.getvalue().split("\r")[1:]
    assert frames[0] == "reading [" + "#" * 15 + "." * 15 + "]  50%  1,234 rows"
    assert frames[1].startswith("reading [" + "#" * 30 + "] 100%")
    assert shown.getvalue().endswith("\n")


def test_save_and_load(tmp_path):
    import quillomar

    index = quillomar.build_index([("cat", 1, 2)])
    path = tmp_path / "cat.idx"
    quillomar.save(index, path)
    assert quillomar.load(path).to_bytes() == index.to_bytes()
    path.write_bytes(b"\xff")
    with pytest.raises(ValueError, match="^decode error: "):
        quillomar.load(path)
    with pytest.raises(OSError):
        quillomar.save(index, tmp_path / "missing" / "cat.idx")
    assert sorted(os.listdir(tmp_path)) == ["cat.idx"]


def test_uuid_ids_through_build_info_and_query(tmp_path):
    a, b = "00010203-0405-0607-0809-0a0b0c0d0e0f", "ffffffff-0000-4000-8000-000000000001"
    records = tmp_path / "u.csv"
    records.write_text(
        f"term,video,count\ncat,{a},3\ncat,{b.upper()},1\ncar,{{{b}}},5\n", encoding="utf-8"
    )
    out = tmp_path / "u.idx"
    run("build", records, "-o", out)
    info = run("info", out).stdout
    assert re.search(r"identifier mode\s+uuid", info) and re.search(r"videos\s+2\n", info)
    proc = run("query", out, "cat", "--videos", "--max-dist", "0", "--json")
    assert [json.loads(x)["video"] for x in proc.stdout.splitlines()] == [a, b]
    mixed = tmp_path / "mixed.csv"
    mixed.write_text(f"term,video,count\ncat,{a},3\ndog,17,1\n", encoding="utf-8")
    proc = run("build", mixed, "-o", tmp_path / "m.idx", check_status=2)
    assert "mixed.csv:3: " in proc.stderr and "all ints or all UUIDs" in proc.stderr
