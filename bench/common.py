"""What the benchmarks share: word lists (Debian packages, installed with
apt-get when missing), the trie layout of a word list, random edits, the
plain edit distance, timers, resident memory and a `quillomar serve` to
drive. A new benchmark takes its helpers from here; search logs come from
make_search_log.py.
"""

from __future__ import annotations

import ctypes
import gc
import os
import random
import re
import resource
import shutil
import signal
import statistics
import subprocess
import sys
import threading
import time

WORDNET = "/usr/share/wordnet"
LISTS = {
    # name: (Debian package, word file; None for WordNet's lemmas)
    "huge": ("wamerican-huge", "/usr/share/dict/american-english-huge"),
    "phrases": ("wordnet-base", None),
    "english": ("wamerican", "/usr/share/dict/american-english"),
    "german": ("wngerman", "/usr/share/dict/ngerman"),
    "french": ("wfrench", "/usr/share/dict/french"),
    "ukrainian": ("wukrainian", "/usr/share/dict/ukrainian"),
}
# What random edits insert or substitute: what a user mistypes on a keyboard.
LETTERS = "abcdefghijklmnopqrstuvwxyz"


# -- word lists ---------------------------------------------------------------


def ensure_debian(package: str, path: str) -> str:
    """Returns `path`, installing `package` with apt-get first if it is missing."""
    if os.path.exists(path):
        return path
    apt = shutil.which("apt-get")
    if apt is None:
        raise SystemExit(f"{path} is missing and apt-get is not available to install {package}")
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    subprocess.run([apt, "update", "-qq"], check=True, env=env)  # a new machine has no lists
    subprocess.run(
        [apt, "-o", "DPkg::Lock::Timeout=600", "install", "-y", "-qq", package], check=True, env=env
    )
    if not os.path.exists(path):
        raise SystemExit(f"installing {package} did not provide {path}")
    return path


def normalise_words(lines, drop_apostrophes: bool = False) -> list[str]:
    """Lower-cased, blanks and possessive 's forms (with drop_apostrophes every
    word holding an apostrophe) dropped, duplicates removed; sorted."""
    words = set()
    for line in lines:
        word = line.strip().lower()
        if word and not ("'" in word if drop_apostrophes else word.endswith("'s")):
            words.add(word)
    return sorted(words)


def list_path(name: str) -> str:
    """The file of list `name` (installed when missing); a path passes through."""
    if name not in LISTS:
        return name
    package, path = LISTS[name]
    return ensure_debian(package, path or os.path.join(WORDNET, "index.noun"))


def load_words(name: str = "huge", drop_apostrophes: bool = False) -> list[str]:
    """A list of LISTS by name (or a word file by path), normalised."""
    path = list_path(name)
    if name in LISTS and LISTS[name][1] is None:
        lemmas = []
        for part in ("noun", "verb", "adj", "adv"):
            with open(os.path.join(WORDNET, f"index.{part}"), encoding="utf-8") as f:
                lemmas += [ln.split(" ", 1)[0].replace("_", " ") for ln in f if ln[:1] != " "]
        return normalise_words(lemmas, drop_apostrophes)
    with open(path, encoding="utf-8") as f:
        return normalise_words(f, drop_apostrophes)


def trie_arrays(words: list[str], payload_of=None):
    """Node shifts, child labels, payloads and child slots of `words` as the
    package's builder lays them out (breadth-first: parents first, a node's children in consecutive
    slots in label order, so slot s holds node s + 1), and per node the
    index in `words` of the word ending there or -1. `payload_of(i)` gives
    words[i]'s payload (default: a total of 1 and no videos)."""
    from quillomar import IndexBuilder

    for i, word in enumerate(words):
        if not word or (i and word <= words[i - 1]):
            prev = words[i - 1] if i else ""
            raise ValueError(
                f"words must be non-empty, sorted and unique: {prev!r} before {word!r}"
            )
    builder = IndexBuilder()
    builder.set_totals(dict.fromkeys(words, 1))
    shifts, labels, payloads, slots, _, _ = builder.arrays(1)
    index_of = {w: i for i, w in enumerate(words)}
    texts = [""] * len(labels)
    word_at = [-1] * len(labels)
    for v in range(len(labels)):  # parents come before their children
        end = shifts[v + 1] if v + 1 < len(shifts) else len(slots)
        for c in slots[shifts[v] : end]:
            texts[c] = texts[v] + labels[c]
            word_at[c] = index_of.get(texts[c], -1)
    if payload_of is not None:
        payloads = [None if w < 0 else payload_of(w) for w in word_at]
    return (shifts, labels, list(payloads), slots), word_at


# -- queries and their answers ------------------------------------------------


def random_edit(word: str, rng: random.Random, letters: str = LETTERS) -> str:
    """One random insertion, deletion or substitution (never by the same
    letter); never empties the word. `letters` may repeat letters to weight them."""
    op = rng.randrange(3)
    if op == 1 and len(word) <= 1:
        op = 2
    i = rng.randrange(len(word) + (op == 0))
    others = letters.replace(word[i], "") if op == 2 else letters
    if op == 0 or not others:  # no other letter to substitute: insert one
        return word[:i] + rng.choice(letters) + word[i:]
    if op == 1:
        return word[:i] + word[i + 1 :]
    return word[:i] + rng.choice(others) + word[i + 1 :]


def levenshtein(a: str, b: str) -> int:
    """Plain edit distance (no transpositions), the slow obvious way: the
    arbiter when two answers disagree."""
    prev = list(range(len(b) + 1))
    for i, ca in enumerate(a, 1):
        cur = [i]
        for j, cb in enumerate(b, 1):
            cur.append(min(prev[j - 1] + (ca != cb), prev[j] + 1, cur[j - 1] + 1))
        prev = cur
    return prev[-1]


# -- timers -------------------------------------------------------------------


def percentile(sorted_values, fraction: float) -> float:
    """Nearest-rank percentile of an already sorted list."""
    if not sorted_values:
        return float("nan")
    rank = max(1, int(-(-fraction * len(sorted_values) // 1)))
    return sorted_values[min(rank, len(sorted_values)) - 1]


def latency(times_ns) -> dict:
    values = sorted(times_ns)
    nan = float("nan")
    return {
        "median_us": statistics.median(values) / 1000 if values else nan,
        "p99_us": percentile(values, 0.99) / 1000,
        "mean_us": statistics.fmean(values) / 1000 if values else nan,
    }


def cpu_seconds() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def best_of(runs: int, fn):
    """(best wall s, best CPU s, last result) of `runs` calls of fn(), the
    collector paused in each. On a shared machine the CPU time (user +
    system) shows the cost without the waiting for a core."""
    wall = cpu = float("inf")
    result = None
    for _ in range(runs):
        del result
        gc.collect()
        gc.disable()
        try:
            c0, t0 = cpu_seconds(), time.perf_counter()
            result = fn()
            t1, c1 = time.perf_counter(), cpu_seconds()
        finally:
            gc.enable()
        wall, cpu = min(wall, t1 - t0), min(cpu, c1 - c0)
    return wall, cpu, result


def per_call(fn, items, warmup: int = 0, repeat: int = 1):
    """(ns per item, fn's answers, CPU ns of all passes): each call timed on
    its own, each item's fastest of `repeat` passes, after `warmup` untimed
    calls. The collector is paused: its pauses depend on what else lives
    in the heap, not on the call measured."""
    for item in items[:warmup]:
        fn(item)
    times = [float("inf")] * len(items)
    answers = [None] * len(items)
    clock = time.perf_counter_ns
    gc.collect()
    gc.disable()
    cpu = time.process_time_ns()
    try:
        for _ in range(repeat):
            for i, item in enumerate(items):
                start = clock()
                answers[i] = fn(item)
                times[i] = min(times[i], clock() - start)
    finally:
        cpu = time.process_time_ns() - cpu
        gc.enable()
    return times, answers, cpu


def take_turns(fns, items, block: int):
    """Times every item on each of `fns`, the functions taking turns a block
    of `block` items at a time and the first turn alternating, so that a
    noisy neighbour or a cold cache hurts all alike. Returns per function
    (ns per item, answers)."""
    out = [([0] * len(items), [None] * len(items)) for _ in fns]
    clock = time.perf_counter_ns
    gc.disable()
    try:
        for start in range(0, len(items), block):
            order = range(len(fns)) if (start // block) % 2 == 0 else reversed(range(len(fns)))
            for f in order:
                fn, (times, answers) = fns[f], out[f]
                for i in range(start, min(start + block, len(items))):
                    t0 = clock()
                    answers[i] = fn(items[i])
                    times[i] = clock() - t0
    finally:
        gc.enable()
    return out


# -- memory -------------------------------------------------------------------


def resident_bytes(trim: bool = True) -> int:
    """This process's resident set. With `trim` the collector runs and freed
    heap pages go back to the kernel first, so the figure shows what is
    alive rather than what an allocator keeps cached."""
    if trim:
        gc.collect()
        try:
            ctypes.CDLL("libc.so.6").malloc_trim(0)
        except (OSError, AttributeError):
            pass
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()


def smaps(pid: int) -> dict:
    """The kB fields of /proc/PID/smaps_rollup (Rss, Pss, Shared_Clean...);
    empty when the process is gone."""
    try:
        with open(f"/proc/{pid}/smaps_rollup") as f:
            return {m[1]: int(m[2]) for m in re.finditer(r"(\w+):\s+(\d+) kB", f.read())}
    except OSError:
        return {}


# -- a server to drive ----------------------------------------------------------


class Server:
    """`quillomar serve --port 0 ARGS` on 127.0.0.1; `port` once it listens,
    with `keep_log` its log lines in `log` as they come."""

    def __init__(self, args: list, env=None, keep_log: bool = False) -> None:
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "quillomar", "serve", "--port", "0", *args],
            stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE,
            text=True,
            env=env,
        )
        self.log: list = []
        for line in self.proc.stderr:
            self.log.append(line)
            match = re.search(r"on http://127\.0\.0\.1:(\d+)/", line)
            if match:
                self.port = int(match.group(1))
                self.url = f"http://127.0.0.1:{self.port}/"
                break
        else:
            raise SystemExit("server did not start:\n" + "".join(self.log))
        rest = self.log.extend if keep_log else lambda lines: all(lines)
        self._reader = threading.Thread(target=rest, args=(self.proc.stderr,))
        self._reader.daemon = True
        self._reader.start()

    def workers(self) -> list:
        found: list = []
        for task in os.listdir(f"/proc/{self.proc.pid}/task"):
            with open(f"/proc/{self.proc.pid}/task/{task}/children") as f:
                found.extend(int(p) for p in f.read().split())
        return found

    def wait_workers(self, n: int, bound: float = 30.0) -> None:
        deadline = time.monotonic() + bound
        while len(self.workers()) != n and time.monotonic() < deadline:
            time.sleep(0.01)

    def stop(self) -> None:
        self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self._reader.join(timeout=5)
