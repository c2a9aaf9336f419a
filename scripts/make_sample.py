#!/usr/bin/env python3
"""Make the sample search log shipped inside the package.

Writes, deterministically (fixed seed, gzip without a timestamp):

* python/quillomar/data/sample_records.tsv.gz: term, video, count records,
  the input ``quillomar build`` takes;
* python/quillomar/data/sample_videos.tsv.gz: video, title, used by
  ``quillomar demo`` to show what a ranked video is.

Terms come from a built-in vocabulary of subjects and query templates; term
popularity follows a Zipf law over a shuffled term list, and each term's
searches are split over a few videos of its subject, again Zipf-like, with
the occasional click on a video of another subject. Run it again after
changing the vocabulary and commit both files:

    python scripts/make_sample.py
"""

from __future__ import annotations

import argparse
import gzip
import io
import random
from pathlib import Path
from typing import Dict, List, Tuple

SEED = 20240611
OUT = Path(__file__).resolve().parent.parent / "python" / "quillomar" / "data"

# subject -> (verb used in "how to ... <subject>", kind of subject)
SUBJECTS: Dict[str, Tuple[str, str]] = {
    "guitar": ("play", "music"),
    "piano": ("play", "music"),
    "drums": ("play", "music"),
    "violin": ("play", "music"),
    "ukulele": ("play", "music"),
    "bass guitar": ("play", "music"),
    "saxophone": ("play", "music"),
    "singing": ("improve", "music"),
    "sourdough bread": ("bake", "food"),
    "pasta carbonara": ("cook", "food"),
    "chocolate cake": ("bake", "food"),
    "banana bread": ("bake", "food"),
    "ramen": ("cook", "food"),
    "pizza dough": ("make", "food"),
    "fried rice": ("cook", "food"),
    "sushi": ("make", "food"),
    "pancakes": ("make", "food"),
    "chicken curry": ("cook", "food"),
    "minecraft": ("play", "game"),
    "fortnite": ("play", "game"),
    "chess": ("play", "game"),
    "chess openings": ("learn", "game"),
    "rubiks cube": ("solve", "game"),
    "zelda": ("play", "game"),
    "python": ("learn", "code"),
    "javascript": ("learn", "code"),
    "excel formulas": ("use", "code"),
    "sql": ("learn", "code"),
    "git": ("use", "code"),
    "linux": ("use", "code"),
    "react": ("learn", "code"),
    "machine learning": ("learn", "code"),
    "photoshop": ("use", "art"),
    "blender": ("use", "art"),
    "watercolor": ("paint", "art"),
    "origami": ("fold", "art"),
    "knitting": ("start", "art"),
    "crochet": ("start", "art"),
    "calligraphy": ("learn", "art"),
    "drawing faces": ("practice", "art"),
    "yoga": ("do", "fitness"),
    "pilates": ("do", "fitness"),
    "push ups": ("do", "fitness"),
    "marathon training": ("start", "fitness"),
    "meditation": ("start", "fitness"),
    "stretching": ("do", "fitness"),
    "skateboarding": ("start", "fitness"),
    "surfing": ("start", "fitness"),
    "spanish": ("learn", "language"),
    "french": ("learn", "language"),
    "japanese": ("learn", "language"),
    "german": ("learn", "language"),
    "sign language": ("learn", "language"),
    "calculus": ("understand", "school"),
    "algebra": ("understand", "school"),
    "chemistry": ("understand", "school"),
    "black holes": ("understand", "school"),
    "solar system": ("explore", "school"),
    "dinosaurs": ("draw", "school"),
    "photosynthesis": ("understand", "school"),
    "puppy training": ("start", "pets"),
    "cat behavior": ("understand", "pets"),
    "aquarium": ("set up", "pets"),
    "tomato plants": ("grow", "garden"),
    "bonsai": ("grow", "garden"),
    "succulents": ("grow", "garden"),
    "woodworking": ("start", "home"),
    "car repair": ("learn", "home"),
    "bike repair": ("learn", "home"),
    "iphone": ("fix", "tech"),
    "android": ("fix", "tech"),
    "resume": ("write", "career"),
    "job interview": ("prepare for", "career"),
    "stock market": ("understand", "money"),
    "budgeting": ("start", "money"),
    "cello": ("play", "music"),
    "harmonica": ("play", "music"),
    "lasagna": ("cook", "food"),
    "croissants": ("bake", "food"),
    "tetris": ("play", "game"),
    "rust programming": ("learn", "code"),
    "pottery": ("start", "art"),
    "boxing": ("start", "fitness"),
    "italian": ("learn", "language"),
    "geometry": ("understand", "school"),
    "bird watching": ("start", "pets"),
    "compost": ("make", "garden"),
    "plumbing": ("learn", "home"),
    "laptop": ("fix", "tech"),
    "salary negotiation": ("prepare for", "career"),
}

TEMPLATES_ALL = [
    "{s}",
    "{s} tutorial",
    "{s} for beginners",
    "how to {v} {s}",
    "{s} tips",
    "best {s}",
    "learn {s}",
    "{s} explained",
    "{s} in 10 minutes",
    "{s} mistakes",
    "easy {s}",
    "{s} 2024",
    "{s} for kids",
    "{s} step by step",
    "{s} guide",
    "{s} shorts",
    "{s} challenge",
    "beginner {s}",
    "advanced {s}",
    "{s} basics",
    "{s} hacks",
    "{s} review",
    "{s} history",
    "{s} for adults",
    "{s} vlog",
    "{s} q and a",
    "{s} common questions",
    "why {s}",
    "{s} motivation",
    "{s} live stream",
]
TEMPLATES_KIND = {
    "music": [
        "{s} chords",
        "{s} lessons",
        "{s} cover",
        "{s} scales",
        "{s} songs easy",
        "{s} practice routine",
        "{s} solo",
    ],
    "food": [
        "{s} recipe",
        "easy {s} recipe",
        "{s} at home",
        "vegan {s}",
        "{s} without oven",
        "quick {s}",
        "{s} asmr",
    ],
    "game": [
        "{s} speedrun",
        "{s} walkthrough",
        "{s} tricks",
        "{s} funny moments",
        "{s} live",
        "{s} world record",
    ],
    "code": [
        "{s} course",
        "{s} crash course",
        "{s} interview questions",
        "{s} project ideas",
        "{s} full course",
        "{s} cheat sheet",
    ],
    "art": [
        "{s} ideas",
        "{s} techniques",
        "{s} timelapse",
        "{s} for beginners step by step",
        "{s} easy ideas",
    ],
    "fitness": [
        "{s} at home",
        "{s} workout",
        "{s} for back pain",
        "{s} morning routine",
        "{s} 30 days",
        "{s} music",
    ],
    "language": [
        "{s} lesson 1",
        "{s} conversation",
        "{s} pronunciation",
        "{s} grammar",
        "{s} vocabulary",
        "{s} listening practice",
    ],
    "school": [
        "{s} explained simply",
        "{s} documentary",
        "{s} lecture",
        "{s} for dummies",
        "{s} animation",
        "{s} exam review",
    ],
    "pets": ["{s} tips", "{s} mistakes to avoid", "{s} funny", "{s} basics", "{s} at home"],
    "garden": ["{s} care", "{s} from seed", "{s} indoors", "{s} watering"],
    "home": ["{s} tools", "{s} projects", "{s} at home", "{s} diy"],
    "tech": ["{s} tricks", "{s} settings", "{s} battery", "{s} hidden features"],
    "career": ["{s} tips", "{s} examples", "{s} questions", "{s} template"],
    "money": ["{s} for beginners 2024", "{s} explained", "{s} tips", "{s} apps"],
}
TITLE_PARTS = {
    "music": [
        "Lesson {n}",
        "Easy Songs Part {n}",
        "Practice Routine",
        "Chords You Must Know",
        "Finger Exercises",
        "Live Session",
    ],
    "food": [
        "Recipe",
        "The Easy Way",
        "Restaurant Style",
        "In 15 Minutes",
        "Grandma's Secret",
        "Mistakes to Avoid",
    ],
    "game": [
        "Speedrun",
        "Let's Play Part {n}",
        "Tips and Tricks",
        "Funny Moments",
        "Beginner Guide",
        "World Record",
    ],
    "code": [
        "Full Course",
        "Crash Course",
        "Project {n}",
        "In 100 Seconds",
        "Interview Prep",
        "Tutorial Part {n}",
    ],
    "art": [
        "Step by Step",
        "Timelapse",
        "Beginner Techniques",
        "Ideas for Beginners",
        "Master Class",
        "Day {n}",
    ],
    "fitness": [
        "Workout {n}",
        "Morning Routine",
        "For Beginners",
        "30 Day Challenge",
        "At Home",
        "Follow Along",
    ],
    "language": [
        "Lesson {n}",
        "Conversation Practice",
        "Pronunciation",
        "Grammar Made Easy",
        "Vocabulary",
        "Listening Practice",
    ],
    "school": [
        "Explained",
        "Documentary",
        "Lecture {n}",
        "In 5 Minutes",
        "Animated",
        "Exam Review",
    ],
    "pets": ["Tips", "Week {n}", "Mistakes to Avoid", "Funny Compilation", "Complete Guide"],
    "garden": ["Care Guide", "From Seed", "Indoor Setup", "Month {n} Update"],
    "home": ["DIY", "Tools You Need", "Project {n}", "Beginner Guide"],
    "tech": ["Hidden Features", "Battery Tips", "Settings", "Fix It Yourself"],
    "career": ["Examples", "Tips", "Template", "Questions and Answers"],
    "money": ["Explained", "For Beginners", "Tips", "Apps Reviewed"],
}
SUBJECT_VIDEOS = (8, 24)  # videos per subject, inclusive range


def zipf_weights(n: int, s: float) -> List[float]:
    return [1.0 / (rank**s) for rank in range(1, n + 1)]


def make(rng: random.Random) -> Tuple[List[Tuple[str, int, int]], List[Tuple[int, str]]]:
    used_ids: set = set()
    videos: List[Tuple[int, str]] = []
    subject_videos: Dict[str, List[int]] = {}
    for subject, (_, kind) in SUBJECTS.items():
        ids = []
        for _ in range(rng.randint(*SUBJECT_VIDEOS)):
            video = rng.randint(1_000_000, 99_999_999)
            while video in used_ids:
                video = rng.randint(1_000_000, 99_999_999)
            used_ids.add(video)
            part = rng.choice(TITLE_PARTS[kind]).format(n=rng.randint(1, 12))
            videos.append((video, f"{subject.title()}: {part}"))
            ids.append(video)
        subject_videos[subject] = ids

    # Popularity order: random, but the plain subject and the first
    # templates tend to come before the long-tail phrasings.
    ranked: List[Tuple[float, str, str]] = []
    seen = set()
    for subject, (verb, kind) in SUBJECTS.items():
        for position, template in enumerate(TEMPLATES_ALL + TEMPLATES_KIND[kind]):
            term = template.format(s=subject, v=verb)
            if term not in seen:
                seen.add(term)
                ranked.append((rng.random() * (1 + 0.2 * position), term, subject))
    ranked.sort()
    terms = [(term, subject) for _, term, subject in ranked]

    all_videos = [video for video, _ in videos]
    records: List[Tuple[str, int, int]] = []
    searches = zipf_weights(len(terms), 1.05)
    for (term, subject), weight in zip(terms, searches):
        volume = max(1, int(250_000 * weight))
        pool = subject_videos[subject]
        picks = rng.sample(pool, min(len(pool), rng.randint(1, 6)))
        if rng.random() < 0.15:
            picks.append(rng.choice(all_videos))
        shares = zipf_weights(len(picks), 1.3)
        scale = sum(shares)
        for video, share in zip(picks, shares):
            clicks = max(1, int(volume * share / scale * rng.uniform(0.6, 1.0)))
            records.append((term, video, clicks))
    records.sort()
    return records, videos


def write_gzip_tsv(path: Path, header: str, rows: List[str]) -> None:
    text = header + "\n" + "".join(row + "\n" for row in rows)
    buffer = io.BytesIO()
    # mtime=0 and no file name in the header: the same input gives the same
    # bytes, so regenerating does not churn the repository.
    with gzip.GzipFile(filename="", mode="wb", fileobj=buffer, mtime=0, compresslevel=9) as out:
        out.write(text.encode("utf-8"))
    path.write_bytes(buffer.getvalue())


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument(
        "--out",
        type=Path,
        default=OUT,
        help="directory to write to (default: the package's data directory)",
    )
    out = parser.parse_args().out
    records, videos = make(random.Random(SEED))
    out.mkdir(parents=True, exist_ok=True)
    write_gzip_tsv(
        out / "sample_records.tsv.gz",
        "term\tvideo\tcount",
        [f"{t}\t{v}\t{c}" for t, v, c in records],
    )
    write_gzip_tsv(
        out / "sample_videos.tsv.gz",
        "video\ttitle",
        [f"{v}\t{title}" for v, title in sorted(videos)],
    )
    terms = len({t for t, _, _ in records})
    print(f"{len(records)} records, {terms} terms, {len(videos)} videos -> {out}")


if __name__ == "__main__":
    main()
