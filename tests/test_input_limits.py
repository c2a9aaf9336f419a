"""Hostile text and malformed records: bounded work, short one-line errors."""

import re
import unicodedata

import pytest

from quillomar import Autocomplete, IndexBuilder
from quillomar.autocomplete import MAX_TEXT_LENGTH
from quillomar.log_files import LogFileError, add_file
from quillomar.normalization import MAX_MARK_RUN, get_normalization
from test_cli_build_inputs import parquet_file


@pytest.fixture(scope="module")
def search():
    builder = IndexBuilder(normalization="default")
    builder.add("cafe", 1, 3)
    return Autocomplete(builder.build())


@pytest.mark.parametrize("name", ["default", "fold-accents"])
@pytest.mark.parametrize("marks", ["\u0301\u0316", "\u0316\u0301\u0345"])
def test_a_long_run_of_marks_is_cut(name, marks):
    normalize = get_normalization(name)
    long_run = "e" + marks * 3000 + " x"
    cut = "e" + (marks * MAX_MARK_RUN)[:MAX_MARK_RUN] + " x"
    assert normalize(long_run) == normalize(cut)
    ordinary = "e" + marks * 3
    assert normalize(ordinary) == normalize(unicodedata.normalize("NFC", ordinary))


def test_complete_caps_its_text(search):
    assert search.complete("c" * MAX_TEXT_LENGTH).results == []
    with pytest.raises(ValueError, match="longer than the 4,096"):
        search.complete("c" * (MAX_TEXT_LENGTH + 1))


def test_a_lone_surrogate_error_quotes_a_short_prefix(search):
    with pytest.raises(ValueError, match="lone surrogate") as caught:
        search.complete("\ud800" + "a" * 3000)
    assert len(str(caught.value)) < 120 and "3,001 characters" in str(caught.value)


@pytest.mark.parametrize(
    "lines, message",
    [
        ("cafe,1,2\n\ufeffcafe,1,2\n", ":3: the line starts with a byte-order mark"),
        ("\ufeffcafe,1,2\n", ":2: the line starts with a byte-order mark"),
        ("cafe,1,2,extra\n", ":2: expected at most 3 fields (as the header has), found 4"),
    ],
)
def test_malformed_lines_are_refused(tmp_path, lines, message):
    path = tmp_path / "r.csv"
    path.write_text("term,video,count\n" + lines, encoding="utf-8")
    with pytest.raises(LogFileError, match=re.escape(message)):
        add_file(IndexBuilder(), path)


def test_extra_columns_named_in_the_header_are_still_ignored(tmp_path):
    path = tmp_path / "r.tsv"
    path.write_text("term\tvideo\tcount\tnote\ncafe\t1\t2\tseen\n", encoding="utf-8")
    assert add_file(IndexBuilder(), path) == 1


def test_an_unreadable_part_file_is_named_on_one_line(tmp_path):
    folder = tmp_path / "logs"
    folder.mkdir()
    parquet_file(folder / "part-0.parquet", term=["cafe"], video=[1], count=[2])
    data = (folder / "part-0.parquet").read_bytes()
    bad = folder / "part-1.parquet"
    bad.write_bytes(data[:4] + b"\xff" * (len(data) - 8) + data[-4:])
    with pytest.raises(LogFileError) as caught:
        add_file(IndexBuilder(), folder)
    text = str(caught.value)
    assert text.startswith(str(bad)) and "\n" not in text, text
