"""Calling every method many thousands of times, on success and on every kind
of error path, must not grow the process: neither the interpreter's live
allocations (objects and their buffers) nor resident memory."""

import os
import resource
import sys

import pytest

from _quillomar import PrefixSearch
from trie_builder import arrays_from_words, encode_index

WORDS = ["alpha", "alpine", "beta", "bet", "gamma", "\U0001f600"]


class BadIndex:
    def __index__(self):
        raise TypeError("no")


def scenario():
    payloads = {w: (3, [i % 3, 1], [2, 1]) for i, w in enumerate(WORDS)}
    ids = [bytes([i]) * 16 for i in range(3)]
    a = arrays_from_words(WORDS, payloads=payloads, video_index=ids)
    args = a.args()
    index = PrefixSearch.from_internal_data_v2(*args)
    data = index.to_bytes()
    broken = PrefixSearch.from_bytes(encode_index([0], [""], [7], [None], [False]))

    def bad_payload(p):
        return (args[0], args[1], [p] * len(args[2]), args[3], args[4], args[5])

    good = [
        lambda: PrefixSearch.from_internal_data_v2(*args),
        lambda: PrefixSearch.from_bytes(data),
        lambda: index.to_bytes(),
        lambda: index.fuzzy_match("alpah", 2),
        lambda: index.fuzzy_match("b", 1, 1),
        lambda: index.fuzzy_match_video("alp", 1, 2, None, 0.0),
        lambda: index.fuzzy_match_video("gamma", include_prefix_nodes=True),
    ]
    bad = [
        lambda: index.fuzzy_match(),
        lambda: index.fuzzy_match("a", 1, 2, 3),
        lambda: index.fuzzy_match("a", foo=1),
        lambda: index.fuzzy_match("a", term="b"),
        lambda: index.fuzzy_match(5),
        lambda: index.fuzzy_match("a\ud800"),
        lambda: index.fuzzy_match("a", BadIndex()),
        lambda: index.fuzzy_match("a", -1),
        lambda: index.fuzzy_match_video("a", include_prefix_nodes=1),
        lambda: index.fuzzy_match_video("a", min_score="x"),
        lambda: PrefixSearch.from_bytes(bytearray(data)),
        lambda: PrefixSearch.from_bytes(data[:-1]),
        lambda: PrefixSearch.from_bytes(b"\xfc\xff\xff\xff\xff"),
        lambda: PrefixSearch.from_internal_data_v2("x", [], [], [], [], 1),
        lambda: PrefixSearch.from_internal_data_v2(args[0][:-1], *args[1:]),
        lambda: PrefixSearch.from_internal_data_v2(*bad_payload([1, [], []])),
        lambda: PrefixSearch.from_internal_data_v2(*bad_payload((1, [1], []))),
        lambda: PrefixSearch.from_internal_data_v2(*bad_payload((1, "x", []))),
        lambda: PrefixSearch.from_internal_data_v2(*args[:4], [b"abc"], 1),
        lambda: broken.fuzzy_match("a"),
        lambda: broken.fuzzy_match_video("a"),
        lambda: PrefixSearch(),
    ]
    return good, bad


def run(calls, rounds):
    for _ in range(rounds):
        for call in calls:
            try:
                call()
            except BaseException:
                pass


def rss_kib() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize() // 1024


@pytest.mark.parametrize("paths", ["success", "errors"])
def test_repeated_calls_do_not_grow_the_process(paths):
    good, bad = scenario()
    calls = good if paths == "success" else bad
    run(calls, 2000)  # warm up caches, free lists and the allocator
    blocks, rss = sys.getallocatedblocks(), rss_kib()
    run(calls, 5000)
    assert sys.getallocatedblocks() - blocks < 100
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):
        # AddressSanitizer keeps freed memory in quarantine on purpose.
        assert rss_kib() - rss < 2048
