"""Keeps the benchmarks from rotting: their shared helpers do what they
claim, and the peer comparison (bench/compare_peers.py, both its report and
its same-process turns) and the build benchmark complete on tiny inputs with
whichever comparison libraries are installed. Nothing here is timed and
nothing is installed."""

import os
import random
import sys
import urllib.request

import pytest

BENCH = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench")
sys.path.insert(0, BENCH)

import _quillomar  # noqa: E402
import bench_build  # noqa: E402
import common  # noqa: E402
import compare_peers  # noqa: E402
from _quillomar import PrefixSearch  # noqa: E402
from peers import adapters  # noqa: E402
from quillomar import _format as quillomar_format  # noqa: E402
from reference import levenshtein  # noqa: E402


def tiny_words(count=120, seed=7):
    rng = random.Random(seed)
    words = {"a", "ab", "abc", "b", "ba", "zebra", "zebras", "café"}
    while len(words) < count:
        words.add("".join(rng.choice("abcdeéz") for _ in range(rng.randint(1, 7))))
    return sorted(words)


@pytest.fixture
def word_file(tmp_path):
    path = tmp_path / "words"
    path.write_text("\n".join(w.upper() if i % 9 == 0 else w for i, w in enumerate(tiny_words())))
    return str(path)


@pytest.mark.parametrize(
    "drop_apostrophes, expected",
    [(False, ["apple", "o'clock", "zoo"]), (True, ["apple", "zoo"])],
)
def test_normalise_words(drop_apostrophes, expected):
    lines = ["Apple\n", "apple\n", "apple's\n", "APPLE'S\n", "o'clock\n", "\n", "  Zoo \n"]
    assert common.normalise_words(lines, drop_apostrophes) == expected


@pytest.mark.parametrize("letters", [common.LETTERS, "aab", "é"])
def test_random_edit_is_exactly_one_edit(letters):
    rng = random.Random(len(letters))
    for word in ["a", "ab", "hello", "é"] * 50:
        assert levenshtein(word, common.random_edit(word, rng, letters)) == 1


def test_bench_levenshtein_agrees_with_the_tests_one():
    rng = random.Random(3)
    for _ in range(300):
        a, b = ("".join(rng.choice("abé") for _ in range(rng.randint(0, 6))) for _ in "ab")
        assert common.levenshtein(a, b) == levenshtein(a, b), (a, b)


def test_trie_arrays_hold_every_word_once_with_its_payload():
    words = tiny_words()
    # Shorter words count more, so each word's own video ranks first at its node.
    (shifts, labels, payloads, slots), word_at = common.trie_arrays(
        words, lambda i: (99 - len(words[i]), [i], [99 - len(words[i])])
    )
    ids = [i.to_bytes(4, "little") for i in range(len(words))]
    index = PrefixSearch.from_internal_data_v2(shifts, labels, payloads, slots, ids, 1)
    found = index.fuzzy_match("", max(map(len, words)))
    assert sorted(text for text, _, _ in found) == words
    # Parents before children: breadth-first numbering gives slot s to node s + 1.
    assert list(slots) == list(range(1, len(labels)))
    assert sorted(w for w in word_at if w >= 0) == list(range(len(words)))
    for i, word in enumerate(words):
        assert index.fuzzy_match_video(word, 0)[0][0] == str(i), word


def test_trie_arrays_refuse_unsorted_words():
    with pytest.raises(ValueError):
        common.trie_arrays(["b", "a"])


@pytest.mark.parametrize("block", [1, 3, 100])
def test_take_turns_times_every_item_on_each_in_alternating_order(block):
    calls = []
    fns = [lambda x, n=n: calls.append((n, x)) or (n, x) for n in range(2)]
    items = list(range(10))
    out = common.take_turns(fns, items, block)
    for n, (times, answers) in enumerate(out):
        assert answers == [(n, x) for x in items] and all(t >= 0 for t in times)
    firsts = [calls[i][0] for i in range(0, len(calls), 2 * block)]
    assert firsts == [i % 2 for i in range(len(firsts))]


def test_per_call_keeps_each_items_answer_and_runs_every_pass():
    seen = []
    times, answers, cpu = common.per_call(lambda x: seen.append(x) or x * 2, [1, 2, 3], 2, 3)
    assert answers == [2, 4, 6] and seen == [1, 2] + [1, 2, 3] * 3 and len(times) == 3


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


def test_turns_between_two_builds_find_the_same_answers(word_file, capsys):
    build = os.path.dirname(_quillomar.__file__)
    argv = ["--turns", "--builds", build, build, "--lists", word_file, "--queries", "30"]
    assert compare_peers.main(argv + ["--blocks", "7,1"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[0].startswith(f"{word_file}: 120 terms")
    timed = [line for line in lines if line.startswith("  k=")]
    assert len(timed) == 4 and all("old differs on 0 of 30 queries" in line for line in timed)


@pytest.mark.parametrize(
    "what, expected",
    [
        (["arrays", "--videos", "50"], "numpy speed-up over lists"),
        (["records", "--terms", "300"], "120 words, terms only"),
    ],
)
def test_build_benchmark_runs_on_tiny_inputs(what, expected, word_file, capsys):
    assert bench_build.main(what + ["--repeat", "1", "--words", word_file]) == 0
    out = capsys.readouterr().out
    assert expected in out and "a different index" not in out


def test_build_benchmark_from_a_log(tmp_path, capsys):
    log = tmp_path / "log.csv"
    log.write_text("term,video,count\n" + "".join(f"t{i % 40},{i % 7},{i}\n" for i in range(200)))
    assert bench_build.main(["log", str(log)]) == 0
    out = capsys.readouterr().out
    assert out.count("  new: ") == 3 and "200 rows" in out


@pytest.mark.parametrize("identifiers", [[], ["--uuid"]])
def test_codec_benchmark_counts_the_index_it_builds(identifiers, capsys):
    import bench_codec

    data = bench_codec.make_index(300, 200_000, 10, bool(identifiers), seed=1)
    summary = quillomar_format.summarize(data)
    nodes, raw = bench_codec.raw_bytes(data)
    assert nodes == summary.nodes and summary.longest_video_list <= 10
    # Every node but the root lies on a term's path, so each carries a payload.
    assert raw >= 18 * nodes + 4 * summary.child_slots + 8 * (nodes - 1)
    bench_codec.main(["--words", "300", "--runs", "1", *identifiers])
    out = capsys.readouterr().out
    assert f"index: {nodes:,} nodes" in out and "ratio" in out and "to_bytes:" in out


def test_server_helper_starts_serves_and_stops():
    server = common.Server(["--workers", "1"], keep_log=True)
    try:
        server.wait_workers(1)
        assert len(server.workers()) == 1
        with urllib.request.urlopen(server.url + "health", timeout=30) as answer:
            assert answer.status == 200
    finally:
        server.stop()
    assert server.proc.returncode is not None and server.log
