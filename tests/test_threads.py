"""One index shared by many threads answers exactly as it does serially."""

import random
import threading

from _quillomar import PrefixSearch
from trie_builder import arrays_from_words

ALPHABET = "abcde"


def build_index(rng: random.Random) -> PrefixSearch:
    words = sorted({"".join(rng.choices(ALPHABET, k=rng.randint(1, 7))) for _ in range(400)})
    payloads = {
        w: (rng.randint(0, 50), ids, [rng.randint(0, 9) for _ in ids])
        for w in words
        for ids in [rng.sample(range(30), rng.randint(0, 4))]
    }
    video_index = [rng.randbytes(16) for _ in range(30)]
    a = arrays_from_words(words, payloads=payloads, video_index=video_index)
    a.video_top_n = 5
    return PrefixSearch.from_internal_data_v2(*a.args())


def make_calls(rng: random.Random, count: int):
    calls = []
    for _ in range(count):
        term = "".join(rng.choices(ALPHABET + "x", k=rng.randint(0, 6)))
        kind = rng.choice(["match", "video", "bytes"])
        if kind == "match":
            calls.append(("fuzzy_match", (term, rng.randint(0, 3), rng.choice([None, 1, 5]))))
        elif kind == "video":
            calls.append(
                (
                    "fuzzy_match_video",
                    (
                        term,
                        rng.randint(0, 2),
                        rng.choice([None, 0, 3]),
                        rng.choice([None, True, False]),
                        rng.choice([None, 0.0, 0.05]),
                    ),
                )
            )
        else:
            calls.append(("to_bytes", ()))
    return calls


def test_eight_threads_agree_with_serial_answers():
    rng = random.Random(1234)
    index = build_index(rng)
    calls = make_calls(rng, 600)
    expected = [getattr(index, name)(*args) for name, args in calls]

    mismatches = []
    start = threading.Barrier(8)

    def worker(seed: int) -> None:
        order = list(range(len(calls)))
        random.Random(seed).shuffle(order)
        start.wait()
        for _ in range(3):
            for i in order:
                name, args = calls[i]
                got = getattr(index, name)(*args)
                if got != expected[i]:
                    mismatches.append((name, args))

    threads = [threading.Thread(target=worker, args=(s,)) for s in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert mismatches == []
