"""Write a deterministic synthetic search log as CSV (term,video,count).

    .venv/bin/python bench/make_search_log.py OUT.csv [--rows N] [--terms N]
        [--videos N] [--seed S] [--events]

Defaults: 5,000,000 rows, 1,000,000 distinct terms, 250,000 videos. Terms
are one to four words of Debian's wamerican list (installed with apt-get
when missing), words drawn with Zipf-like popularity; every term appears at
least once and the remaining rows pick terms with Zipf-like popularity too.
Each term has a home video (every video is some term's home) and its rows
go to a few videos near it, the first ones most often; counts are small,
geometrically distributed. The same arguments always give the same file.

With --events the same rows are written without their count column
(term,video): a log of one row per search, as sites keep them, for
comparing its build with the counted log's.
"""

from __future__ import annotations

import argparse

import numpy as np

from common import load_words


def zipf_weights(n: int, s: float, shift: float) -> np.ndarray:
    w = 1.0 / (np.arange(n, dtype=np.float64) + shift) ** s
    return w / w.sum()


def make_terms(rng: np.random.Generator, words: list, count: int) -> list:
    p = zipf_weights(len(words), 1.0, 20.0)
    seen: dict = {}
    while len(seen) < count:
        batch = 2 * (count - len(seen)) + 1000
        lengths = rng.choice([1, 2, 3, 4], size=batch, p=[0.15, 0.4, 0.3, 0.15])
        picks = rng.choice(len(words), size=int(lengths.sum()), p=p)
        at = 0
        for k in lengths.tolist():
            term = " ".join(words[i] for i in picks[at : at + k].tolist())
            at += k
            if term not in seen:
                seen[term] = None
                if len(seen) == count:
                    break
    return list(seen)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("out")
    ap.add_argument("--rows", type=int, default=5_000_000)
    ap.add_argument("--terms", type=int, default=1_000_000)
    ap.add_argument("--videos", type=int, default=250_000)
    ap.add_argument("--seed", type=int, default=11)
    ap.add_argument("--events", action="store_true", help="no count column")
    args = ap.parse_args()
    rng = np.random.default_rng(args.seed)
    words = [w for w in load_words("english") if w.isascii() and w.isalpha()]
    terms = make_terms(rng, words, args.terms)
    # Popularity order is unrelated to alphabetical order.
    order = rng.permutation(args.terms)
    home = rng.permutation(np.arange(args.terms) % args.videos)
    chunk = 1_000_000
    written = 0
    with open(args.out, "w", encoding="utf-8", newline="") as out:
        out.write("term,video\n" if args.events else "term,video,count\n")
        while written < args.rows:
            n = min(chunk, args.rows - written)
            first = np.arange(written, written + n)
            # The first `terms` rows name every term once.
            picked = np.where(
                first < args.terms,
                first % args.terms,
                order[np.minimum(rng.zipf(1.3, size=n) - 1, args.terms - 1)],
            )
            near = np.where(first < args.terms, 0, np.minimum(rng.geometric(0.45, size=n) - 1, 7))
            videos = (home[picked] + near * 7919) % args.videos
            counts = rng.geometric(0.3, size=n)
            if args.events:
                rows = (f"{terms[t]},{v}\n" for t, v in zip(picked.tolist(), videos.tolist()))
            else:
                rows = (
                    f"{terms[t]},{v},{c}\n"
                    for t, v, c in zip(picked.tolist(), videos.tolist(), counts.tolist())
                )
            out.write("".join(rows))
            written += n
    print(f"wrote {args.out}: {args.rows:,} rows, {args.terms:,} terms, {args.videos:,} videos")


if __name__ == "__main__":
    main()
