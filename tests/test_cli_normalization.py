"""The command line with and without normalisation, and with metadata."""

import json
import re

import pytest

import quillomar
from test_cli import run

RECORDS = (
    "term\tvideo\tcount\n"
    "Guitar Chords\t101\t50\n"
    "guitar  chords\t102\t30\n"
    "guitar lessons\t101\t20\n"
    "Piano\t200\t40\n"
)


def info_fields(path):
    out = run("info", path).stdout
    return dict(re.split(r"\s{2,}", line, maxsplit=1) for line in out.splitlines())


@pytest.fixture
def records(tmp_path):
    path = tmp_path / "r.tsv"
    path.write_text(RECORDS, encoding="utf-8")
    return path


@pytest.fixture
def default_index(tmp_path, records):
    out = tmp_path / "default.idx"
    proc = run("build", records, "-o", out, "--top-n", "7")
    assert "3 terms" in proc.stdout  # the two spellings of guitar chords merged
    return out


@pytest.fixture
def plain_index(tmp_path, records):
    out = tmp_path / "plain.idx"
    run("build", records, "-o", out, "--normalize", "none")
    return out


def rows(proc):
    return [json.loads(line) for line in proc.stdout.splitlines()]


def test_info_reads_the_metadata(default_index, plain_index):
    fields = info_fields(default_index)
    meta = quillomar.read_metadata(default_index)
    assert (
        fields["normalization"],
        fields["top n"],
        fields["terms"],
        fields["videos"],
        fields["nodes"],
        fields["identifier mode"],
    ) == ("default", "7", "3", "3", f"{meta.nodes:,}", "int32")
    assert fields["encoded size"] == f"{default_index.stat().st_size:,} bytes"
    assert fields["built"].startswith(meta.built_at)
    assert info_fields(plain_index)["terms"] == "4"
    assert info_fields(plain_index)["normalization"] == "none"


def test_info_on_a_file_without_metadata(tmp_path, default_index):
    bare = tmp_path / "bare.idx"
    bare.write_bytes(quillomar.load(default_index).to_bytes())
    fields = info_fields(bare)
    assert fields["metadata"].startswith("none")
    assert fields["terms"] == "3" and "child slots" in fields


@pytest.mark.parametrize("text", ["GUITAR chords", "Guitar  Chords"])
def test_videos_query_follows_the_index_normalisation(default_index, plain_index, text):
    found = rows(run("query", default_index, text, "--videos", "--json"))
    assert [r["video"] for r in found][:2] == ["101", "102"]
    assert not any(r["corrected"] for r in found)
    # Exactly as the index is: text unchanged, one edit.
    assert run("query", default_index, text, "--videos", "--exact").stdout.startswith(
        "no videos for"
    )
    # An index of terms as logged: the case differs, nothing is typed
    # exactly, so at most corrections come back.
    assert all(r["corrected"] for r in rows(run("query", plain_index, text, "--videos", "--json")))


def test_terms_query_normalises_unless_exact(default_index):
    proc = run("query", default_index, "GUITAR CHORD", "--json")
    assert rows(proc) == [{"term": "guitar chords", "distance": 1}]
    proc = run("query", default_index, "GUITAR CHORD", "--exact")
    assert proc.stdout.startswith("no terms within 1 edit of 'GUITAR CHORD'")


def test_corrections_are_marked(default_index):
    out = run("query", default_index, "gutar", "--videos").stdout.splitlines()
    assert out[0].split() == ["rank", "video", "score"]
    assert out[2].split()[:2] == ["1*", "101"]
    assert out[-1] == "* found with up to 1 edit of 'gutar'"
    assert (
        run("query", default_index, "gutar", "--videos", "--max-dist", "0").stdout
        == "no videos for 'gutar'\n"
    )


@pytest.mark.parametrize(
    "damage, message",
    [
        (lambda d: d[:-5], "not a metadata trailer"),
        (lambda d: d[:-30] + b"zz" + d[-28:], "damaged"),
    ],
)
@pytest.mark.parametrize("command", ["info", "query"])
def test_damaged_metadata_is_one_line_and_status_2(
    tmp_path, default_index, damage, message, command
):
    bad = tmp_path / "bad.idx"
    bad.write_bytes(damage(default_index.read_bytes()))
    args = ["info", bad] if command == "info" else ["query", bad, "guit", "--videos"]
    proc = run(*args, check_status=2)
    assert len(proc.stderr.splitlines()) == 1 and proc.stdout == ""
    assert "not a quillomar index" in proc.stderr
    if command == "query":
        assert message in proc.stderr


def test_build_normalize_errors(tmp_path, records):
    proc = run("build", records, "-o", tmp_path / "x.idx", "--normalize", "nfc", check_status=2)
    assert "invalid choice: 'nfc'" in proc.stderr
    blank = tmp_path / "blank.tsv"
    blank.write_text("term\tvideo\tcount\nok\t1\t1\n\u3000\t2\t1\n", encoding="utf-8")
    proc = run("build", blank, "-o", tmp_path / "x.idx", check_status=2)
    assert "blank.tsv:3: " in proc.stderr and "empty after 'default' normalization" in proc.stderr
    assert not (tmp_path / "x.idx").exists()
