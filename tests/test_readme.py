"""Every example and command in README.md and CONTRIBUTING.md runs as
shown.

Python blocks are doctests, run in order in one namespace. Every line of a
``sh`` block must be a command this file knows how to exercise; a new
command in the README needs a case here.
"""

import doctest
import gzip
import os
import re
import shlex
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
CONTRIBUTING = ROOT / "CONTRIBUTING.md"

pytestmark = pytest.mark.skipif(not README.exists(), reason="no source tree")

FENCE = re.compile(r"^( *)```(\w*)\n(.*?)^\1```", re.S | re.M)


def blocks(language, document=README):
    text = document.read_text(encoding="utf-8")
    return [
        re.sub(rf"^{m.group(1)}", "", m.group(3), flags=re.M)
        for m in FENCE.finditer(text)
        if m.group(2) == language
    ]


def shell_commands(document=README):
    return [
        line.strip()
        for block in blocks("sh", document)
        for line in block.splitlines()
        if line.strip()
    ]


def test_top_gives_exactly_two_commands():
    top = README.read_text(encoding="utf-8").split("\n## ")[0]
    commands = [m.group(3).strip() for m in FENCE.finditer(top)]
    assert commands == ["make demo", "make test"]


def test_python_examples(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    source = "\n".join(blocks("python"))
    parser = doctest.DocTestParser()
    test = parser.get_doctest(source, {}, "README.md", str(README), 0)
    assert test.examples, "the README has Python examples"
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test)
    assert runner.failures == 0


def env_with_absolute_pythonpath():
    env = dict(os.environ)
    if env.get("PYTHONPATH"):
        env["PYTHONPATH"] = os.pathsep.join(
            os.path.abspath(p) for p in env["PYTHONPATH"].split(os.pathsep)
        )
    return env


def run(argv, cwd):
    proc = subprocess.run(
        argv,
        cwd=cwd,
        capture_output=True,
        text=True,
        env=env_with_absolute_pythonpath(),
        timeout=600,
    )
    assert proc.returncode == 0, (argv, proc.stdout, proc.stderr)
    return proc


def exercise(command, workdir):
    """Run one README command, or its closest safe equivalent."""
    words = shlex.split(command)
    while words and re.match(r"^[A-Z_]+=", words[0]):  # VAR=value prefixes
        words.pop(0)
    if words[0] == "make":
        # Running these would reinstall into the environment under test;
        # a dry run checks that the target exists and what it runs.
        if shutil.which("make") is None:
            pytest.skip("make is not installed")
        out = run(["make", "-n", *words[1:]], ROOT).stdout
        expected = {
            "demo": "quillomar demo",
            "test": "pytest",
            "dev": "cmake --build",
            "test-sanitizers": "libasan",
            "test-valgrind": "valgrind",
            "fuzz": "fuzz_$t",
            "bench-peers": "compare_peers",
            "lint": "ruff format --check",
        }[words[1]]
        assert expected in out
        return
    if words[0] == "tools/check_python_headers.sh":
        assert os.access(ROOT / words[0], os.X_OK)
        return
    if words[:2] == ["quillomar", "serve"]:
        # A server runs until stopped (tests/test_web_serve.py runs it):
        # check that the options parse.
        run([sys.executable, "-m", "quillomar", *words[1:], "--help"], workdir)
        return
    if words[0] == "quillomar":
        run([sys.executable, "-m", "quillomar", *words[1:]], workdir)
        return
    assert words[0].endswith("bin/python"), f"no test for README command {command!r}"
    if words[1:3] == ["-m", "pytest"]:
        # The suite is running already; check that the command collects it.
        out = run(
            [
                sys.executable,
                "-m",
                "pytest",
                "--collect-only",
                "-q",
                str(ROOT / "tests" / "test_readme.py"),
            ],
            ROOT,
        ).stdout
        assert "test_readme.py::" in out
        return
    if words[1] == "scripts/make_sample.py":
        out_dir = workdir / "sample"
        run([sys.executable, str(ROOT / words[1]), *words[2:], "--out", str(out_dir)], ROOT)
        shipped = ROOT / "python" / "quillomar" / "data"
        for name in ("sample_records.tsv.gz", "sample_videos.tsv.gz"):
            assert gzip.decompress((out_dir / name).read_bytes()) == gzip.decompress(
                (shipped / name).read_bytes()
            ), f"{name} is out of date: rerun scripts/make_sample.py"
        return
    if words[1] == "bench/bench_builder.py":
        out = run([sys.executable, str(ROOT / words[1]), "2000"], ROOT).stdout
        assert "from_internal_data_v2" in out
        return
    if words[1].startswith("bench/"):
        # Full runs take minutes on large word lists: check that each
        # benchmark starts and describes itself.
        out = run([sys.executable, str(ROOT / words[1]), "--help"], ROOT).stdout
        assert out.startswith("usage:")
        return
    raise AssertionError(f"no test for README command {command!r}")


def test_shell_commands(tmp_path):
    csv_blocks = blocks("csv")
    assert len(csv_blocks) == 1
    (tmp_path / "searches.csv").write_text(csv_blocks[0], encoding="utf-8")
    commands = shell_commands()
    assert "quillomar build searches.csv -o searches.idx --top-n 20" in commands
    for command in commands:
        exercise(command, tmp_path)


def test_contributing_commands(tmp_path):
    commands = shell_commands(CONTRIBUTING)
    assert "make dev" in commands and "make lint" in commands
    for command in commands:
        exercise(command, tmp_path)
