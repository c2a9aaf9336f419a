"""The type stub and py.typed: mypy --strict accepts typical use and
rejects misuse; the stub's signatures match the extension's."""

import ast
import inspect
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import _quillomar
import quillomar

pytest.importorskip("mypy")

REPO_STUB = Path(__file__).resolve().parent.parent / "python" / "_quillomar.pyi"
PACKAGE_DIR = Path(quillomar.__file__).resolve().parent


def stub_path():
    # Installed: the stub sits beside the extension. Development run (the
    # extension in a build directory): the stub in the source tree.
    installed = Path(_quillomar.__file__).with_name("_quillomar.pyi")
    return installed if installed.exists() else REPO_STUB


def is_installed():
    return "site-packages" in PACKAGE_DIR.parts


def test_installed_layout_has_stub_and_marker():
    assert (PACKAGE_DIR / "py.typed").exists()
    if is_installed():
        assert Path(_quillomar.__file__).with_name("_quillomar.pyi").exists()


GOOD = """
import copy
import pickle
import uuid
from typing import List, Optional, Tuple

import quillomar
from quillomar import IndexArrays, IndexBuilder, PrefixSearch


def best_video(index: PrefixSearch, query: str) -> Optional[str]:
    ranked: List[Tuple[str, float]] = index.fuzzy_match_video(
        query, max_dist=2, limit=1, include_prefix_nodes=None, min_score=0.05)
    return ranked[0][0] if ranked else None


def terms(index: PrefixSearch, query: str) -> List[str]:
    return [text for text, _terminal, _distance in index.fuzzy_match(query, 1, limit=None)]


builder = IndexBuilder()
builder.add("cat videos", 1042, 7)
builder.add_records([("cat toys", 1043, 2)])
builder.set_total("cat toys", 5)
arrays: IndexArrays = builder.arrays(top_n=5)
index: PrefixSearch = builder.build(top_n=5)
same: PrefixSearch = PrefixSearch.from_bytes(index.to_bytes())
by_hand = PrefixSearch.from_internal_data_v2(
    [0, 1], ["", "a"], [None, (5, [0], [5])], [1], [b"\\x07\\x00\\x00\\x00"], 10)
uuids = quillomar.build_index([("dog", uuid.uuid4(), 3)], top_n=10)
clone: PrefixSearch = copy.deepcopy(pickle.loads(pickle.dumps(same)))
quillomar.save(clone, "clone.idx")
stored: quillomar.StoredIndex = quillomar.load("clone.idx")
loaded: PrefixSearch = stored.index
searched: "quillomar.storage.SearchIndex" = stored.search
meta: Optional[quillomar.IndexMetadata] = quillomar.read_metadata("clone.idx")
sample: PrefixSearch = quillomar.sample_index()
normalized = IndexBuilder(normalization="default")
quillomar.save(normalized.build(), "n.idx", normalization=normalized.normalization)
box = quillomar.Autocomplete("n.idx", limit=5, max_dist=lambda n: n // 4)
found: quillomar.Completion = box.complete("Cat", min_score=0.0, include_prefix_nodes=True)
first: List[quillomar.Suggestion] = found.results[:1]
print(best_video(sample, "yoga"), terms(index, "cat"), by_hand, uuids, clone,
      stored.fuzzy_match_video("cat"), meta, first, found.corrected)
"""

BAD = """
from quillomar import Autocomplete, PrefixSearch, IndexBuilder

def f(index: PrefixSearch) -> int:
    return index.fuzzy_match_video("x", limit="3")

IndexBuilder().add("cat", 1, "7")
PrefixSearch.from_bytes(bytearray(b""))
Autocomplete(PrefixSearch.from_bytes(b""), limit="10")
"""


def run_mypy(tmp_path, source):
    # mypy refuses a MYPYPATH that is a site-packages directory, so the stub
    # and the package are copied into a directory of their own.
    stubs = tmp_path / "stubs"
    stubs.mkdir()
    shutil.copy(stub_path(), stubs / "_quillomar.pyi")
    shutil.copytree(
        PACKAGE_DIR, stubs / "quillomar", ignore=shutil.ignore_patterns("__pycache__", "data")
    )
    example = tmp_path / "example.py"
    example.write_text(source, encoding="utf-8")
    env = dict(os.environ, MYPYPATH=str(stubs))
    return subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--no-incremental",
            "--cache-dir",
            str(tmp_path / "cache"),
            str(example),
        ],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        env=env,
        timeout=300,
    )


def test_mypy_strict_accepts_typical_use_and_the_package(tmp_path):
    proc = run_mypy(tmp_path, GOOD)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_mypy_strict_rejects_misuse(tmp_path):
    proc = run_mypy(tmp_path, BAD)
    assert proc.returncode == 1
    assert 'incompatible type "str"; expected "SupportsIndex | None"' in proc.stdout
    assert "Incompatible return value type" in proc.stdout
    assert 'Argument 3 to "add" of "IndexBuilder"' in proc.stdout
    assert 'Argument 1 to "from_bytes" of "PrefixSearch"' in proc.stdout
    assert 'Argument "limit" to "Autocomplete"' in proc.stdout


def stub_signatures():
    tree = ast.parse(stub_path().read_text(encoding="utf-8"))
    cls = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "PrefixSearch")
    out = {}
    for fn in cls.body:
        if isinstance(fn, ast.FunctionDef):
            args = fn.args.args
            names = [a.arg for a in args]
            defaults = [ast.literal_eval(d) for d in fn.args.defaults]
            out[fn.name] = (names, defaults)
    return out


def test_stub_matches_the_extension():
    stubs = stub_signatures()
    methods = [m for m in vars(_quillomar.PrefixSearch) if not m.startswith("_")]
    assert sorted(stubs) == sorted(methods)
    for name, (names, defaults) in stubs.items():
        runtime = inspect.signature(getattr(_quillomar.PrefixSearch, name))
        params = list(runtime.parameters.values())
        if names and names[0] == "self":
            names = names[1:]
            if params and params[0].name == "self":
                params = params[1:]
        assert [p.name for p in params] == names, name
        runtime_defaults = [p.default for p in params if p.default is not p.empty]
        assert runtime_defaults == defaults, name
