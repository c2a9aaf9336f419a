"""The worked examples of docs/format.md are what the extension writes."""

import re
import struct
from pathlib import Path

import pytest

from _quillomar import PrefixSearch

FORMAT_DOC = Path(__file__).resolve().parent.parent / "docs" / "format.md"


def worked_examples():
    """(code, bytes) for every example: a python block that builds an index,
    then the table whose last column lists the bytes field by field."""
    text = FORMAT_DOC.read_text(encoding="utf-8")
    examples = []
    for match in re.finditer(r"```python\n(.*?)```(.*?)(?=\n```|\n## |\Z)", text, re.S):
        code, after = match.group(1), match.group(2)
        rows = [line for line in after.splitlines() if line.startswith("| ")]
        cells = [row.rstrip(" |").rsplit("|", 1)[1].strip() for row in rows[1:]]
        hexes = [c.strip("`") for c in cells if c.startswith("`")]
        examples.append((code, bytes.fromhex(" ".join(hexes))))
    return examples


EXAMPLES = worked_examples()


def test_the_document_has_its_examples():
    assert len(EXAMPLES) == 2
    assert [len(data) for _, data in EXAMPLES] == [30, 74]


@pytest.mark.parametrize("code,expected", EXAMPLES)
def test_worked_example_is_what_the_extension_writes(code, expected):
    index = eval(code, {"PrefixSearch": PrefixSearch, "struct": struct})
    assert index.to_bytes() == expected
    assert PrefixSearch.from_bytes(expected).to_bytes() == expected
