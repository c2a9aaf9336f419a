"""Writes the comparison as Markdown with PNG plots beside it; judges where
result sets differ."""

from __future__ import annotations

import os
import platform
import statistics
import subprocess
import time

from common import latency, levenshtein

REFERENCE = "rapidfuzz"
OURS = "quillomar"
TERMS = "quillomar-terms"


def _run(*command: str) -> str:
    try:
        return subprocess.run(command, capture_output=True, text=True, check=False).stdout
    except OSError:
        return ""


def _first(path: str, prefix: str) -> str:
    try:
        with open(path) as f:
            return next(
                (line.split(":", 1)[1].strip() for line in f if line.startswith(prefix)), ""
            )
    except OSError:
        return ""


def machine() -> dict:
    memory = _first("/proc/meminfo", "MemTotal:")
    caches = [line.split(":", 1) for line in _run("lscpu").splitlines()]
    return {
        "cpu": _first("/proc/cpuinfo", "model name") or platform.processor() or platform.machine(),
        "cores": os.cpu_count(),
        "memory": f"{int(memory.split()[0]) / 1024 / 1024:.1f} GiB" if memory else "unknown",
        "caches": ", ".join(
            f"{name.strip().replace(' cache', '')} {value.strip().split(' (')[0]}"
            for name, value in caches
            if name.strip().startswith(("L1d", "L2", "L3"))
        ),
        "os": f"{platform.system()} {platform.release()}",
        "python": f"{platform.python_implementation()} {platform.python_version()}",
    }


def package_of(path: str) -> str:
    package = _run("dpkg", "-S", path).split(":", 1)[0].strip()
    return (
        f"{package} {_run('dpkg-query', '-W', '-f=${Version}', package)}".strip() if package else ""
    )


def _us(value: float) -> str:
    if value != value:  # NaN
        return "n/a"
    return f"{value:,.1f}" if value < 100 else f"{value:,.0f}"


def _mb(n: int) -> str:
    return f"{n / 1e6:,.1f}"


def _table(header: str, rows) -> list:
    """A Markdown table: `header` names the columns with " | " between them."""
    columns = header.count("|") + 1
    lines = [f"| {header} |", "|" + "---|" * columns]
    return lines + ["| " + " | ".join(map(str, row)) + " |" for row in rows] + [""]


def diff_results(queries, reference, other, k: int, max_examples: int = 5) -> dict:
    """Compares `other` with `reference` (lists of word -> distance dicts over
    the same leading queries). A differing word is judged by the plain
    distance: whoever is wrong about it is named."""
    n = min(len(reference), len(other))
    differing = distance_mismatches = 0
    examples = []
    wrong = {"reference": 0, "other": 0}
    for i in range(n):
        query, ref, got = queries[i], reference[i], other[i]
        missing, extra = sorted(set(ref) - set(got)), sorted(set(got) - set(ref))
        bad = sorted(
            w for w in set(ref) & set(got) if None not in (ref[w], got[w]) and ref[w] != got[w]
        )
        distance_mismatches += bool(bad)
        if not (missing or extra or bad):
            continue
        differing += 1
        true = {w: levenshtein(query, w) for w in missing + extra + bad}
        # A word only one side names is that side's error when it is too far.
        for word in missing:
            wrong["reference" if true[word] > k else "other"] += 1
        for word in extra:
            wrong["other" if true[word] > k else "reference"] += 1
        for word in bad:
            wrong["reference"] += ref[word] != true[word]
            wrong["other"] += got[word] != true[word]
        if len(examples) < max_examples:
            examples.append(
                {
                    "query": query,
                    "missing": [(w, true[w]) for w in missing[:6]],
                    "extra": [(w, true[w]) for w in extra[:6]],
                    "missing_total": len(missing),
                    "extra_total": len(extra),
                    "bad_distance": [(w, ref[w], got[w], true[w]) for w in bad[:6]],
                }
            )
    return {
        "compared": n,
        "differing": differing,
        "distance_mismatches": distance_mismatches,
        "examples": examples,
        "wrong_words": wrong,
    }


def _figures(data: dict) -> dict:
    figures = latency(data["times_ns"])
    figures["cpu_us"] = data.get("cpu_ns", float("nan")) / 1000 / max(1, len(data["times_ns"]))
    return figures


def summarise(work, results: dict) -> dict:
    """Latency figures and result-set comparisons for every library and k."""
    reference = REFERENCE if REFERENCE in results else (OURS if OURS in results else None)
    summary = {"reference": reference, "search": {}, "complete": {}, "diffs": {}}
    for name, result in results.items():
        for k, data in result["search"].items():
            figures = summary["search"][(name, k)] = _figures(data)
            figures["matches"] = statistics.fmean(map(len, data["results"] or [()]))
            figures["queries"] = len(data["times_ns"])
            if reference and name != reference and k in results[reference]["search"]:
                theirs = results[reference]["search"][k]["results"]
                summary["diffs"][(name, k)] = diff_results(work.queries, theirs, data["results"], k)
        if result.get("complete"):
            figures = summary["complete"][name] = _figures(result["complete"])
            counts = result["complete"]["counts"]
            figures["results"] = statistics.fmean(counts or [0])
            figures["empty"] = counts.count(0)
    return summary


def targets(results: dict, summary: dict) -> list:
    """(target, figure, met) rows; empty when quillomar was not measured."""
    rows = []
    if OURS not in results:
        return rows
    for k in (1, 2):
        ours = summary["search"].get((OURS, k))
        peers = [(n, f) for (n, kk), f in summary["search"].items() if kk == k and n != OURS]
        if ours and peers:
            fastest, f = min(peers, key=lambda item: item[1]["median_us"])
            speedup = f["median_us"] / ours["median_us"]
            rows.append(
                (
                    f"k = {k}: fuzzy_match at least 3x faster per query (median) than the fastest peer",
                    f"{_us(ours['median_us'])} us vs {fastest} {_us(f['median_us'])} us: {speedup:.2f}x"
                    f" (p99: {_us(ours['p99_us'])} vs {_us(f['p99_us'])} us,"
                    f" {f['p99_us'] / ours['p99_us']:.2f}x)",
                    speedup >= 3.0,
                )
            )
        diff = summary["diffs"].get((OURS, k))
        if diff is not None and summary["reference"] == REFERENCE:
            same = diff["compared"] - diff["differing"]
            rows.append(
                (
                    f"k = {k}: result sets identical to rapidfuzz's brute force",
                    f"{same:,} of {diff['compared']:,} queries identical (word and distance)",
                    diff["differing"] == 0,
                )
            )
    theirs = results.get("symspellpy")
    # Like for like first: the terms-only index holds what symspellpy holds.
    for name in (TERMS, OURS) if theirs else ():
        if name not in results:
            continue
        what = "terms only" if name == TERMS else "with video statistics"
        for key, label, show in (
            ("build_s", "build time", lambda v: f"{v:,.2f} s"),
            ("memory_bytes", "resident memory", lambda v: f"{_mb(v)} MB"),
        ):
            a, b = results[name][key], theirs[key]
            figure = f"{show(a)} vs {show(b)}" + (f": {a / b:.3f} of symspellpy's" if b else "")
            rows.append(
                (
                    f"{label} ({what}) at most a tenth of symspellpy's (k = 2)",
                    figure,
                    b and a <= b / 10,
                )
            )
    return rows


def _plot(path_prefix: str, results: dict, summary: dict) -> list:
    """Writes the PNG plots; returns their file names (none without matplotlib)."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return []
    colours = {name: plt.cm.tab10(i % 10) for i, name in enumerate(results)}

    def bars(ax, values, xlabel, title="", pale=None):
        """Horizontal bars, fastest first, on a log scale; `pale` values (a
        second series, same order) drawn beside them."""
        order = sorted(range(len(values)), key=lambda i: values[i][1])
        names = [values[i][0] for i in order]
        solid = [max(values[i][1], 1e-3) for i in order]
        y = list(range(len(order)))
        shift = 0.2 if pale else 0.0
        ax.barh(
            [i + shift for i in y],
            solid,
            height=0.4 if pale else 0.8,
            color=[colours[n] for n in names],
        )
        if pale:
            ax.barh(
                [i - shift for i in y],
                [pale[i] for i in order],
                height=0.4,
                color=[colours[n] for n in names],
                alpha=0.45,
            )
        for i, v in enumerate(solid):
            ax.text(v, i + shift, f" {_us(v) if pale else f'{v:,.2f}'}", va="center", fontsize=8)
        ax.set_yticks(y)
        ax.set_yticklabels(names)
        ax.invert_yaxis()
        ax.set_xscale("log")
        ax.set_xlabel(xlabel)
        ax.set_title(title)
        ax.grid(axis="x", which="both", alpha=0.3)

    written = []

    def save(fig, suffix, title):
        fig.suptitle(title)
        fig.tight_layout()
        fig.savefig(path_prefix + suffix, dpi=110)
        plt.close(fig)
        written.append(os.path.basename(path_prefix + suffix))

    fig, axes = plt.subplots(1, 3, figsize=(15, 4.8))
    panels = [("k = 1", 1), ("k = 2", 2), ("autocomplete (prefixes, top 10)", None)]
    for ax, (title, k) in zip(axes, panels):
        found = (
            summary["complete"]
            if k is None
            else {n: f for (n, kk), f in summary["search"].items() if kk == k}
        )
        rows = [(n, found[n]) for n in results if n in found]
        bars(
            ax,
            [(n, f["median_us"]) for n, f in rows],
            "microseconds per query (log scale)",
            title,
            pale=[f["p99_us"] for _, f in rows],
        )
    save(fig, "-latency.png", "Time per query: median (solid) and 99th percentile (pale)")

    fig, axes = plt.subplots(1, 2, figsize=(12, 4))
    bars(axes[0], [(n, r["build_s"]) for n, r in results.items()], "build time (s), log scale")
    bars(
        axes[1],
        [(n, r["memory_bytes"] / 1e6) for n, r in results.items()],
        "resident memory (MB), log scale",
    )
    save(fig, "-build.png", "Building the structure from the word list")
    return written


CONFIG = {
    "quillomar": "each word's (word, video, count) records go through `quillomar.IndexBuilder` (the"
    " package's Python builder: breadth-first trie arrays), then `PrefixSearch.from_internal_data_v2`;"
    " the build time covers both. Queries are `fuzzy_match(q, k)` (no limit: every match);"
    " autocomplete is `fuzzy_match_video(p, 1, 10)`",
    "quillomar-terms": "the same trie without video statistics, built through"
    " `quillomar.IndexBuilder` with `set_totals(dict.fromkeys(words, 1))`, then `from_internal_data_v2`:"
    " the like-for-like row for build time and memory, since the other libraries hold words and counts"
    " only. Not queried separately: `fuzzy_match` never reads the video statistics",
    "rapidfuzz": "`process.extract(q, words, scorer=Levenshtein.distance, score_cutoff=k, limit=None)`"
    " over the Python list of words; no index, so no build",
    "symspellpy": "`SymSpell(max_dictionary_edit_distance=2)` with its distance comparer set to plain"
    " Levenshtein, one `create_dictionary_entry(word, 1)` per word; queries are"
    " `lookup(q, Verbosity.ALL, max_edit_distance=k)`",
    "symspellcpppy": "the C++ port of the same method, `SymSpell(max_dictionary_edit_distance=2)` (its"
    " distance cannot be changed: transpositions cost one, and it counts UTF-8 bytes), one"
    " `create_dictionary_entry(word, 1)` per word; queries are `lookup(q, Verbosity.ALL, k)`;"
    " built from its source distribution by `bench/peers/install_cpp_peer.sh`",
    "tantivy": "one document per word in an in-memory index, a `raw`-tokenised text field, one"
    " writer thread, one segment; queries are `Query.fuzzy_term_query(schema, 'w', q, distance=k,"
    " transposition_cost_one=False)` searched with a limit of 10,000 (re-run with the whole index as"
    " the limit if that fills up); autocomplete adds `prefix=True` (distance 1) with a limit of 10",
    "leven-search": "one `insert(word)` per word; queries are `find_dist(q, 1)`; it is pure Python and"
    " slow, so only the first queries of the set are timed (count in the table)",
    "marisa-trie": "`marisa_trie.Trie(words)`; autocomplete takes the first 10 of `iterkeys(p)`:"
    " exact prefix only, the no-typo baseline",
}

METHOD = (
    "- Method: each library is built and queried in its own child process, one after the other;"
    " every query is timed on its own with `time.perf_counter_ns` around the library call (and,"
    " where the library returns document numbers, the lookup of the words; turning answers into"
    " (word, distance) pairs for the comparison is not timed), with the garbage"
    " collector paused and 100 untimed warm-up queries first. Resident memory is the growth of the"
    " process's resident set from just before the build to just after it (with the collector run"
    " and `malloc_trim` called at both points), so it counts the built structure and nothing the"
    " build threw away. One thread everywhere."
)

AUTOCOMPLETE = (
    "Not the same question for every library, so only the time is comparable: quillomar ranks the"
    " videos of every node within distance 1 of the prefix (terminal nodes, falling back to prefix"
    " nodes); tantivy's prefix fuzzy query ranks the words that start with something within"
    " distance 1 of the prefix; marisa-trie lists the words that start with the exact prefix (so it"
    " finds nothing for a mistyped one). Top 10 everywhere."
)


def _differences(summary: dict, results: dict, work) -> list:
    base, lines = summary["reference"], []
    for (name, k), diff in sorted(summary["diffs"].items()):
        if not diff["differing"]:
            continue
        wrong, mismatches = diff["wrong_words"], diff["distance_mismatches"]
        lines += [
            f"**{name}, k = {k}**: {diff['differing']:,} of {diff['compared']:,} queries differ from"
            f" {base}. Judged by the plain edit distance (computed here in Python), {wrong['other']:,}"
            f" words (missing, extra or with a wrong distance) are {name}'s error and"
            f" {wrong['reference']:,} are {base}'s."
            + (f" {mismatches:,} queries report a different distance." if mismatches else "")
            + " Examples (word, true distance):",
            "",
        ]
        for ex in diff["examples"]:
            parts = [
                f"{side} {ex[side + '_total']}: " + ", ".join(f"`{w}` ({d})" for w, d in ex[side])
                for side in ("missing", "extra")
                if ex[side]
            ]
            if ex["bad_distance"]:
                parts.append(
                    "distance: "
                    + ", ".join(
                        f"`{w}` {base} {a}, {name} {b}, true {t}"
                        for w, a, b, t in ex["bad_distance"]
                    )
                )
            lines.append(f"- `{ex['query']}`: " + "; ".join(parts))
        lines.append("")
    for name, result in results.items():
        for k, data in result["search"].items():
            if data.get("repeats"):
                shown = ", ".join(f"`{work.queries[i]}`" for i in data["repeats"][:5])
                lines += [
                    f"**{name}, k = {k}**: {len(data['repeats']):,} answers name a word more than"
                    f" once (the sets above count it once), for example for {shown}.",
                    "",
                ]
    return lines or [
        "None: every library that answered returned the same set as the reference for every query.",
        "",
    ]


def write_report(out: str, work, results: dict, run_info: dict) -> dict:
    summary = summarise(work, results)
    os.makedirs(os.path.dirname(os.path.abspath(out)), exist_ok=True)
    plots = _plot(os.path.splitext(os.path.abspath(out))[0], results, summary)
    info = machine()
    extra = results.get(OURS, {}).get("extra")
    ls, le = run_info["load_start"], run_info["load_end"]
    busiest = max(ls[0], le[0])
    started = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime(run_info["started"]))
    origin = package_of(work.source)
    lines = [
        "# Benchmarks: quillomar beside the libraries users would pick instead",
        "",
        f"Generated by `python bench/compare_peers.py` (`make bench-peers`) on {started},"
        f" {(run_info['finished'] - run_info['started']) / 60:.1f} minutes. Every figure below comes"
        " from this one run on this one machine; rerun the command to reproduce it.",
        "",
        "## Machine",
        "",
        f"- CPU: {info['cpu']}, {info['cores']} logical cores"
        + (f" ({info['caches']})" if info["caches"] else ""),
        f"- Memory: {info['memory']}",
        f"- {info['os']}, {info['python']}",
        f"- Load average (1, 5, 15 min): {ls[0]:.2f} {ls[1]:.2f} {ls[2]:.2f} at the start,"
        f" {le[0]:.2f} {le[1]:.2f} {le[2]:.2f} at the end",
    ]
    if info["cores"] and busiest > 0.5 * info["cores"]:
        lines.append(
            f"- **The machine was busy** (load up to {busiest:.1f} on {info['cores']} cores): other"
            " work competed for the cores and caches, so times are inflated and noisy, and libraries"
            " measured at different moments may have met different load. The CPU-time column (process"
            " CPU time of the whole query loop divided by the number of queries) leaves out the time"
            " the process waited for a core."
        )
    lines += ["", "## Versions", ""]
    lines += _table(
        "library | version",
        [(n, r["version"]) for n, r in results.items()]
        + [(n, "not installed: skipped") for n in run_info["missing"]],
    )
    lines += [
        "## Workload",
        "",
        f"- Words: every word of `{work.source}`"
        + (f" ({origin})" if origin else "")
        + ", lower-cased, possessive `'s` forms dropped, duplicates removed:"
        f" **{len(work.words):,} words**" + (f", {extra['nodes']:,} trie nodes." if extra else "."),
        f"- Term queries: {len(work.queries):,} random indexed words with 0, 1 or 2 random edits"
        " (the number of edits uniform; each edit an insertion, deletion or substitution of a letter"
        f" a-z), {statistics.fmean(map(len, work.queries)):.1f} characters on average.",
        f"- Prefixes: {len(work.prefixes):,} random prefixes of 2 to 6 characters of indexed words"
        f" with 0 or 1 random edit, {statistics.fmean(map(len, work.prefixes)):.1f} characters on"
        " average.",
        "- Video statistics for `fuzzy_match_video`: per word a heavy-tailed count spread over 1 to"
        f" 3 of {work.videos:,} videos, `video_top_n` {work.video_top_n}.",
        f"- Seed {work.seed} (`random.Random`), so every run asks the same questions.",
        METHOD,
        "",
        "How each library is asked:",
        "",
        *(f"- **{n}**: {CONFIG[n]}." for n in results if n in CONFIG),
        "",
        "## Fuzzy term search: every indexed word within k edits",
        "",
    ]
    reference = summary["reference"]
    lines += [
        f"Result sets are compared query by query with {reference}'s"
        + (" brute force" if reference == REFERENCE else "")
        + " (words and, where the library reports them, distances).",
        "",
    ]
    rows = []
    for k in (1, 2):
        for name, f in sorted(
            ((n, f) for (n, kk), f in summary["search"].items() if kk == k),
            key=lambda item: item[1]["median_us"],
        ):
            diff = summary["diffs"].get((name, k))
            equal = "(reference)" if name == reference else "n/a"
            if diff is not None:
                equal = f"{diff['compared'] - diff['differing']:,} / {diff['compared']:,}"
            times = [_us(f[key]) for key in ("median_us", "p99_us", "mean_us", "cpu_us")]
            rows.append((name, k, f"{f['queries']:,}", *times, f"{f['matches']:.1f}", equal))
    lines += _table(
        "library | k | queries timed | median us | p99 us | mean us | mean CPU us"
        " | matches per query | result sets equal",
        rows,
    )
    lines += ["## Building", ""]
    lines += _table(
        "library | build s | resident MB of the built structure",
        [
            (n, f"{r['build_s']:,.3f}", _mb(r["memory_bytes"]))
            for n, r in sorted(results.items(), key=lambda item: item[1]["build_s"])
        ],
    )
    if extra:
        lines += [
            f"quillomar's build splits into {extra['python_arrays_s']:.2f} s in Python (records to"
            " trie arrays, `quillomar.IndexBuilder`) and"
            f" {extra['native_build_s']:.3f} s in"
            " `from_internal_data_v2` (conversion, validation, top-N propagation). The stored form"
            f" (`to_bytes`) is {_mb(extra['bytes_len'])} MB, written in {extra['to_bytes_s']:.3f} s;"
            f" `from_bytes` loads it in {extra['from_bytes_s']:.3f} s into"
            f" {_mb(extra['from_bytes_memory_bytes'])} MB resident"
            + ("" if extra["round_trip_same"] else " (**its answers differ from the built index**)")
            + ". The rapidfuzz row is the Python list of words it scans: it builds nothing.",
            "",
        ]
    if summary["complete"]:
        lines += ["## Autocomplete: a half-typed prefix, 0 or 1 typo", "", AUTOCOMPLETE, ""]
        lines += _table(
            "library | median us | p99 us | mean us | mean CPU us | results per prefix"
            " | prefixes with no result",
            [
                (
                    n,
                    *(_us(f[key]) for key in ("median_us", "p99_us", "mean_us", "cpu_us")),
                    f"{f['results']:.1f}",
                    f"{f['empty']:,}",
                )
                for n, f in sorted(summary["complete"].items(), key=lambda i: i[1]["median_us"])
            ],
        )
    goals = targets(results, summary)
    if goals:
        lines += ["## Targets", ""]
        lines += _table(
            "target | this run | met", [(t, f, "yes" if m else "**no**") for t, f, m in goals]
        )
    lines += ["## Differences in result sets", ""] + _differences(summary, results, work)
    if plots:
        lines += ["## Plots", ""] + [f"![{p}]({p})\n" for p in plots]
    lines += ["## Notes", ""]
    lines += [f"- {name} is not installed here, so it was skipped." for name in run_info["missing"]]
    lines.append(
        "- Where quillomar's query time goes: `bench/peers/hot_loop.py` runs the same queries in a"
        " bare loop for `perf record` or `valgrind --tool=callgrind`."
    )
    if run_info.get("sample"):
        lines.append(
            f"- Every library timed at most {run_info['sample']:,} term queries in this run."
        )
    with open(out, "w", encoding="utf-8") as f:
        f.write("\n".join(lines).rstrip() + "\n")
    summary["plots"], summary["targets"] = plots, goals
    return summary
