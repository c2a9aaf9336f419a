"""Keeps the side-by-side benchmark (bench/compare_peers.py) from rotting: runs
it on a tiny word list with whichever comparison libraries are installed.
Nothing here is timed and nothing is installed."""

import os
import random
import sys

import pytest

BENCH = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench")
sys.path.insert(0, BENCH)

import compare_peers  # noqa: E402
from _quillomar import PrefixSearch  # noqa: E402
from peers import adapters  # noqa: E402
from peers.compare import levenshtein  # noqa: E402
from peers.trie_arrays import build_arrays  # noqa: E402
from peers.workload import normalise_words, random_edit  # noqa: E402


def tiny_words(count=120, seed=7):
    rng = random.Random(seed)
    words = {"a", "ab", "abc", "b", "ba", "zebra", "zebras", "café"}
    while len(words) < count:
        words.add("".join(rng.choice("abcdeéz") for _ in range(rng.randint(1, 7))))
    return sorted(words)


def test_normalise_words_lowers_drops_possessives_and_duplicates():
    lines = ["Apple\n", "apple\n", "apple's\n", "APPLE'S\n", "o'clock\n", "\n", "  Zoo \n"]
    assert normalise_words(lines) == ["apple", "o'clock", "zoo"]


@pytest.mark.parametrize("seed", range(5))
def test_random_edit_is_exactly_one_edit(seed):
    rng = random.Random(seed)
    for word in ["a", "ab", "hello", "é"] * 50:
        assert levenshtein(word, random_edit(word, rng)) == 1


def test_trie_arrays_hold_every_word_once():
    words = tiny_words()
    shifts, labels, payloads, transitions = build_arrays(words)
    index = PrefixSearch.from_internal_data_v2(shifts, labels, payloads, transitions, [], 10)
    found = [text for text, _, _ in index.fuzzy_match("", max(map(len, words)))]
    assert sorted(found) == words
    # Parents before children: breadth-first numbering gives slot s to node s + 1.
    assert transitions == list(range(1, len(labels)))


def test_trie_arrays_refuse_unsorted_words():
    with pytest.raises(ValueError):
        build_arrays(["b", "a"])


def test_whole_run_on_a_tiny_word_list(tmp_path):
    peers = [p.name for p in adapters.PEERS if p is not adapters.Ours and p.available()]
    if not peers:
        pytest.skip("no comparison library installed (pip install .[bench])")
    out = tmp_path / "benchmarks.md"
    summary = compare_peers.run(
        tiny_words(),
        "tiny",
        out=str(out),
        peers=["quillomar"] + peers,
        queries=40,
        prefixes=40,
        videos=30,
        in_process=True,
        log=lambda *_: None,
    )
    text = out.read_text()
    assert "## Fuzzy term search" in text and "## Machine" in text
    for name in ["quillomar"] + peers:
        assert f"| {name} |" in text
    # Our answers must equal the reference's, whichever that is.
    for (name, _k), diff in summary["diffs"].items():
        if name == "quillomar":
            assert diff["differing"] == 0, diff["examples"]
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        assert summary["plots"] == []
    else:
        assert summary["plots"]
        for plot in summary["plots"]:
            assert (tmp_path / plot).stat().st_size > 0
