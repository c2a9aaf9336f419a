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


def machine() -> dict:
    info = {
        "cpu": platform.processor() or platform.machine(),
        "cores": os.cpu_count(),
        "memory": "unknown",
    }
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    info["cpu"] = line.split(":", 1)[1].strip()
                    break
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemTotal:"):
                    info["memory"] = f"{int(line.split()[1]) / 1024 / 1024:.1f} GiB"
                    break
    except OSError:
        pass
    try:
        caches = subprocess.run(["lscpu"], capture_output=True, text=True, check=False).stdout
        info["caches"] = ", ".join(
            line.split(":", 1)[0].replace(" cache", "")
            + " "
            + line.split(":", 1)[1].strip().split(" (")[0]
            for line in caches.splitlines()
            if line.strip().startswith(("L1d", "L2", "L3"))
        )
    except OSError:
        info["caches"] = ""
    info["os"] = f"{platform.system()} {platform.release()}"
    info["python"] = f"{platform.python_implementation()} {platform.python_version()}"
    return info


def package_of(path: str) -> str:
    try:
        owner = subprocess.run(
            ["dpkg", "-S", path], capture_output=True, text=True, check=False
        ).stdout
        package = owner.split(":", 1)[0].strip()
        if not package:
            return ""
        version = subprocess.run(
            ["dpkg-query", "-W", "-f=${Version}", package],
            capture_output=True,
            text=True,
            check=False,
        ).stdout
        return f"{package} {version}".strip()
    except OSError:
        return ""


def _us(value: float) -> str:
    if value != value:  # NaN
        return "n/a"
    return f"{value:,.1f}" if value < 100 else f"{value:,.0f}"


def _mb(n: int) -> str:
    return f"{n / 1e6:,.1f}"


def _ratio(a: float, b: float) -> str:
    return f"{a / b:.2f}x" if b else "n/a"


def diff_results(queries, reference, other, k: int, max_examples: int = 5) -> dict:
    """Compares `other` with `reference` (lists of word -> distance dicts over
    the same leading queries). A differing word is judged by the plain
    distance: whoever is wrong about it is named."""
    n = min(len(reference), len(other))
    differing = 0
    distance_mismatches = 0
    examples = []
    wrong = {"reference": 0, "other": 0}
    for i in range(n):
        ref, got = reference[i], other[i]
        missing = sorted(set(ref) - set(got))
        extra = sorted(set(got) - set(ref))
        bad_distance = [
            w
            for w in set(ref) & set(got)
            if ref[w] is not None and got[w] is not None and ref[w] != got[w]
        ]
        if bad_distance:
            distance_mismatches += 1
        if not (missing or extra or bad_distance):
            continue
        differing += 1
        for word in missing:
            # In the reference only: the reference is wrong if it is too far.
            wrong["reference" if levenshtein(queries[i], word) > k else "other"] += 1
        for word in extra:
            wrong["other" if levenshtein(queries[i], word) > k else "reference"] += 1
        for word in bad_distance:
            true = levenshtein(queries[i], word)
            wrong["reference"] += ref[word] != true
            wrong["other"] += got[word] != true
        if len(examples) < max_examples:
            examples.append(
                {
                    "query": queries[i],
                    "missing": [(w, levenshtein(queries[i], w)) for w in missing[:6]],
                    "extra": [(w, levenshtein(queries[i], w)) for w in extra[:6]],
                    "missing_total": len(missing),
                    "extra_total": len(extra),
                    "bad_distance": [
                        (w, ref[w], got[w], levenshtein(queries[i], w))
                        for w in sorted(bad_distance)[:6]
                    ],
                }
            )
    return {
        "compared": n,
        "differing": differing,
        "distance_mismatches": distance_mismatches,
        "examples": examples,
        "wrong_words": wrong,
    }


def summarise(work, results: dict) -> dict:
    """Latency figures and result-set comparisons for every library and k."""
    reference_name = REFERENCE if REFERENCE in results else (OURS if OURS in results else None)
    summary = {"reference": reference_name, "search": {}, "complete": {}, "diffs": {}}
    for name, result in results.items():
        for k, data in result["search"].items():
            figures = latency(data["times_ns"])
            figures["cpu_us"] = (
                data.get("cpu_ns", float("nan")) / 1000 / max(1, len(data["times_ns"]))
            )
            figures["matches"] = (
                statistics.fmean(len(r) for r in data["results"]) if data["results"] else 0.0
            )
            figures["queries"] = len(data["times_ns"])
            summary["search"][(name, k)] = figures
            if reference_name and name != reference_name and k in results[reference_name]["search"]:
                summary["diffs"][(name, k)] = diff_results(
                    work.queries,
                    results[reference_name]["search"][k]["results"],
                    data["results"],
                    k,
                )
        if result.get("complete"):
            figures = latency(result["complete"]["times_ns"])
            figures["cpu_us"] = (
                result["complete"].get("cpu_ns", float("nan"))
                / 1000
                / max(1, len(result["complete"]["times_ns"]))
            )
            counts = result["complete"]["counts"]
            figures["results"] = statistics.fmean(counts) if counts else 0.0
            figures["empty"] = sum(1 for c in counts if c == 0)
            summary["complete"][name] = figures
    return summary


def targets(results: dict, summary: dict) -> list:
    """(target, figure, met) rows; empty when quillomar was not measured."""
    rows = []
    if OURS not in results:
        return rows
    for k in (1, 2):
        ours = summary["search"].get((OURS, k))
        peers = [
            (name, figures)
            for (name, kk), figures in summary["search"].items()
            if kk == k and name != OURS
        ]
        if ours and peers:
            fastest, figures = min(peers, key=lambda item: item[1]["median_us"])
            speedup = figures["median_us"] / ours["median_us"]
            rows.append(
                (
                    f"k = {k}: fuzzy_match at least 3x faster per query (median) than the fastest peer",
                    f"{_us(ours['median_us'])} us vs {fastest} {_us(figures['median_us'])} us: {speedup:.2f}x"
                    f" (p99: {_us(ours['p99_us'])} vs {_us(figures['p99_us'])} us,"
                    f" {figures['p99_us'] / ours['p99_us']:.2f}x)",
                    speedup >= 3.0,
                )
            )
        diff = summary["diffs"].get((OURS, k))
        if diff is not None and summary["reference"] == REFERENCE:
            rows.append(
                (
                    f"k = {k}: result sets identical to rapidfuzz's brute force",
                    f"{diff['compared'] - diff['differing']:,} of {diff['compared']:,} queries identical"
                    f" (word and distance)",
                    diff["differing"] == 0,
                )
            )
    if "symspellpy" in results:
        theirs = results["symspellpy"]
        # Like for like first: the terms-only index holds what symspellpy holds.
        for name in (TERMS, OURS):
            if name not in results:
                continue
            ours = results[name]
            what = "terms only" if name == TERMS else "with video statistics"
            for key, label in (("build_s", "build time"), ("memory_bytes", "resident memory")):
                a, b = ours[key], theirs[key]
                figure = (
                    f"{a:,.2f} s vs {b:,.2f} s"
                    if key == "build_s"
                    else f"{_mb(a)} MB vs {_mb(b)} MB"
                ) + (f": {a / b:.3f} of symspellpy's" if b else "")
                rows.append(
                    (
                        f"{label} ({what}) at most a tenth of symspellpy's (k = 2)",
                        figure,
                        bool(b) and a <= b / 10,
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
    written = []
    names = list(results)
    colours = {name: plt.cm.tab10(i % 10) for i, name in enumerate(names)}

    fig, axes = plt.subplots(1, 3, figsize=(15, 4.8))
    panels = [("k = 1", 1), ("k = 2", 2), ("autocomplete (prefixes, top 10)", None)]
    for ax, (title, k) in zip(axes, panels):
        rows = []
        for name in names:
            figures = summary["search"].get((name, k)) if k else summary["complete"].get(name)
            if figures:
                rows.append((name, figures))
        rows.sort(key=lambda item: item[1]["median_us"])
        labels = [name for name, _ in rows]
        y = range(len(rows))
        ax.barh(
            [i + 0.2 for i in y],
            [f["median_us"] for _, f in rows],
            height=0.4,
            label="median",
            color=[colours[n] for n in labels],
        )
        ax.barh(
            [i - 0.2 for i in y],
            [f["p99_us"] for _, f in rows],
            height=0.4,
            label="p99",
            color=[colours[n] for n in labels],
            alpha=0.45,
        )
        for i, (_, f) in enumerate(rows):
            ax.text(f["median_us"], i + 0.2, f" {_us(f['median_us'])}", va="center", fontsize=8)
        ax.set_yticks(list(y))
        ax.set_yticklabels(labels)
        ax.invert_yaxis()
        ax.set_xscale("log")
        ax.set_xlabel("microseconds per query (log scale)")
        ax.set_title(title)
        ax.grid(axis="x", which="both", alpha=0.3)
    fig.suptitle("Time per query: median (solid) and 99th percentile (pale)")
    fig.tight_layout()
    name = path_prefix + "-latency.png"
    fig.savefig(name, dpi=110)
    plt.close(fig)
    written.append(os.path.basename(name))

    built = list(results.items())
    fig, axes = plt.subplots(1, 2, figsize=(12, 4))
    for ax, key, label in (
        (axes[0], "build_s", "build time (s)"),
        (axes[1], "memory_bytes", "resident memory (MB)"),
    ):
        values = [(n, r[key] if key == "build_s" else r[key] / 1e6) for n, r in built]
        values.sort(key=lambda item: item[1])
        ax.barh(
            [n for n, _ in values],
            [max(v, 1e-3) for _, v in values],
            color=[colours[n] for n, _ in values],
        )
        for i, (_, v) in enumerate(values):
            ax.text(max(v, 1e-3), i, f" {v:,.2f}", va="center", fontsize=8)
        ax.set_xscale("log")
        ax.set_xlabel(label + ", log scale")
        ax.invert_yaxis()
        ax.grid(axis="x", which="both", alpha=0.3)
    fig.suptitle("Building the structure from the word list")
    fig.tight_layout()
    name = path_prefix + "-build.png"
    fig.savefig(name, dpi=110)
    plt.close(fig)
    written.append(os.path.basename(name))
    return written


CONFIG = {
    "quillomar": "each word's (word, video, count) records go through `{builder}` (the package's"
    " Python builder: breadth-first trie arrays), then `PrefixSearch.from_internal_data_v2`; the build"
    " time covers both. Queries are `fuzzy_match(q, k)` (no limit: every match); autocomplete is"
    " `fuzzy_match_video(p, 1, 10)`",
    "quillomar-terms": "the same trie without video statistics, built through `{builder}` with"
    " `set_totals(dict.fromkeys(words, 1))`, then `from_internal_data_v2`: the like-for-like row for build time"
    " and memory, since the other libraries hold words and counts only. Not queried separately:"
    " `fuzzy_match` never reads the video statistics",
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


def write_report(out: str, work, results: dict, run_info: dict) -> dict:
    summary = summarise(work, results)
    out_dir = os.path.dirname(os.path.abspath(out))
    os.makedirs(out_dir, exist_ok=True)
    stem = os.path.splitext(os.path.abspath(out))[0]
    plots = _plot(stem, results, summary)
    info = machine()
    lines = []
    add = lines.append
    add("# Benchmarks: quillomar beside the libraries users would pick instead")
    add("")
    add(
        "Generated by `python bench/compare_peers.py` (`make bench-peers`) on "
        + time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime(run_info["started"]))
        + f", {(run_info['finished'] - run_info['started']) / 60:.1f} minutes. Every figure below comes from"
        " this one run on this one machine; rerun the command to reproduce it."
    )
    add("")
    add("## Machine")
    add("")
    add(
        f"- CPU: {info['cpu']}, {info['cores']} logical cores"
        + (f" ({info['caches']})" if info.get("caches") else "")
    )
    add(f"- Memory: {info['memory']}")
    add(f"- {info['os']}, {info['python']}")
    ls, le = run_info["load_start"], run_info["load_end"]
    add(
        f"- Load average (1, 5, 15 min): {ls[0]:.2f} {ls[1]:.2f} {ls[2]:.2f} at the start,"
        f" {le[0]:.2f} {le[1]:.2f} {le[2]:.2f} at the end"
    )
    busiest = max(ls[0], le[0])
    if info["cores"] and busiest > 0.5 * info["cores"]:
        add(
            f"- **The machine was busy** (load up to {busiest:.1f} on {info['cores']} cores): other work"
            " competed for the cores and caches, so times are inflated and noisy, and libraries measured at"
            " different moments may have met different load. The CPU-time column (process CPU time of"
            " the whole query loop divided by the number of queries) leaves out the time the process"
            " waited for a core."
        )
    add("")
    add("## Versions")
    add("")
    add("| library | version |")
    add("|---|---|")
    for name, result in results.items():
        add(f"| {name} | {result['version']} |")
    for name in run_info["missing"]:
        add(f"| {name} | not installed: skipped |")
    add("")
    add("## Workload")
    add("")
    origin = package_of(work.source)
    add(
        f"- Words: every word of `{work.source}`"
        + (f" ({origin})" if origin else "")
        + f", lower-cased, possessive `'s` forms dropped, duplicates removed: **{len(work.words):,} words**"
        + (
            f", {results[OURS]['extra']['nodes']:,} trie nodes."
            if OURS in results and "extra" in results[OURS]
            else "."
        )
    )
    add(
        f"- Term queries: {len(work.queries):,} random indexed words with 0, 1 or 2 random edits"
        " (the number of edits uniform; each edit an insertion, deletion or substitution of a letter a-z),"
        f" {statistics.fmean(map(len, work.queries)):.1f} characters on average."
    )
    add(
        f"- Prefixes: {len(work.prefixes):,} random prefixes of 2 to 6 characters of indexed words with 0 or 1"
        f" random edit, {statistics.fmean(map(len, work.prefixes)):.1f} characters on average."
    )
    add(
        f"- Video statistics for `fuzzy_match_video`: per word a heavy-tailed count spread over 1 to 3 of"
        f" {work.videos:,} videos, `video_top_n` {work.video_top_n}."
    )
    add(f"- Seed {work.seed} (`random.Random`), so every run asks the same questions.")
    add(
        "- Method: each library is built and queried in its own child process, one after the other;"
        " every query is timed on its own with `time.perf_counter_ns` around the library call (and,"
        " where the library returns document numbers, the lookup of the words; turning answers into"
        " (word, distance) pairs for the comparison is not timed), with the garbage"
        " collector paused and 100 untimed warm-up queries first. Resident memory is the growth of the"
        " process's resident set from just before the build to just after it (with the collector run"
        " and `malloc_trim` called at both points), so it counts the built structure and nothing the"
        " build threw away. One thread everywhere."
    )
    add("")
    add("How each library is asked:")
    add("")
    for name in results:
        if name in CONFIG:
            builder = results[name].get("extra", {}).get("builder", "quillomar.IndexBuilder")
            add(f"- **{name}**: {CONFIG[name].format(builder=builder)}.")
    add("")

    add("## Fuzzy term search: every indexed word within k edits")
    add("")
    reference = summary["reference"]
    add(
        f"Result sets are compared query by query with {reference}'s"
        + (" brute force" if reference == REFERENCE else "")
        + " (words and, where the library reports them, distances)."
    )
    add("")
    add(
        "| library | k | queries timed | median us | p99 us | mean us | mean CPU us | matches per query"
        " | result sets equal |"
    )
    add("|---|---|---|---|---|---|---|---|---|")
    for k in (1, 2):
        rows = [(n, f) for (n, kk), f in summary["search"].items() if kk == k]
        rows.sort(key=lambda item: item[1]["median_us"])
        for name, f in rows:
            diff = summary["diffs"].get((name, k))
            if name == reference:
                equal = "(reference)"
            elif diff is None:
                equal = "n/a"
            else:
                equal = f"{diff['compared'] - diff['differing']:,} / {diff['compared']:,}"
            add(
                f"| {name} | {k} | {f['queries']:,} | {_us(f['median_us'])} | {_us(f['p99_us'])} |"
                f" {_us(f['mean_us'])} | {_us(f['cpu_us'])} | {f['matches']:.1f} | {equal} |"
            )
    add("")

    add("## Building")
    add("")
    add("| library | build s | resident MB of the built structure |")
    add("|---|---|---|")
    for name, result in sorted(results.items(), key=lambda item: item[1]["build_s"]):
        add(f"| {name} | {result['build_s']:,.3f} | {_mb(result['memory_bytes'])} |")
    add("")
    if OURS in results and "extra" in results[OURS]:
        extra = results[OURS]["extra"]
        add(
            f"quillomar's build splits into {extra['python_arrays_s']:.2f} s in Python (records to trie"
            f" arrays, `{extra['builder']}`) and {extra['native_build_s']:.3f} s in `from_internal_data_v2` (conversion, validation,"
            f" top-N propagation). The stored form (`to_bytes`) is {_mb(extra['bytes_len'])} MB, written in"
            f" {extra['to_bytes_s']:.3f} s; `from_bytes` loads it in {extra['from_bytes_s']:.3f} s into"
            f" {_mb(extra['from_bytes_memory_bytes'])} MB resident"
            + ("" if extra["round_trip_same"] else " (**its answers differ from the built index**)")
            + ". The rapidfuzz row is the Python list of words it scans: it builds nothing."
        )
        add("")

    if summary["complete"]:
        add("## Autocomplete: a half-typed prefix, 0 or 1 typo")
        add("")
        add(
            "Not the same question for every library, so only the time is comparable: quillomar ranks the"
            " videos of every node within distance 1 of the prefix (terminal nodes, falling back to prefix"
            " nodes); tantivy's prefix fuzzy query ranks the words that start with something within"
            " distance 1 of the prefix; marisa-trie lists the words that start with the exact prefix (so it"
            " finds nothing for a mistyped one). Top 10 everywhere."
        )
        add("")
        add(
            "| library | median us | p99 us | mean us | mean CPU us | results per prefix | prefixes with no result |"
        )
        add("|---|---|---|---|---|---|---|")
        for name, f in sorted(summary["complete"].items(), key=lambda item: item[1]["median_us"]):
            add(
                f"| {name} | {_us(f['median_us'])} | {_us(f['p99_us'])} | {_us(f['mean_us'])} |"
                f" {_us(f['cpu_us'])} | {f['results']:.1f} | {f['empty']:,} |"
            )
        add("")

    rows = targets(results, summary)
    if rows:
        add("## Targets")
        add("")
        add("| target | this run | met |")
        add("|---|---|---|")
        for target, figure, met in rows:
            add(f"| {target} | {figure} | {'yes' if met else '**no**'} |")
        add("")

    add("## Differences in result sets")
    add("")
    any_diff = False
    for (name, k), diff in sorted(summary["diffs"].items()):
        if not diff["differing"]:
            continue
        any_diff = True
        base = reference
        wrong = diff["wrong_words"]
        add(
            f"**{name}, k = {k}**: {diff['differing']:,} of {diff['compared']:,} queries differ from {base}."
            f" Judged by the plain edit distance (computed here in Python), {wrong['other']:,} words"
            f" (missing, extra or with a wrong distance) are {name}'s error and {wrong['reference']:,} are {base}'s."
            + (
                f" {diff['distance_mismatches']:,} queries report a different distance."
                if diff["distance_mismatches"]
                else ""
            )
            + " Examples (word, true distance):"
        )
        add("")
        for ex in diff["examples"]:
            parts = []
            if ex["missing"]:
                parts.append(
                    f"missing {ex['missing_total']}: "
                    + ", ".join(f"`{w}` ({d})" for w, d in ex["missing"])
                )
            if ex["extra"]:
                parts.append(
                    f"extra {ex['extra_total']}: "
                    + ", ".join(f"`{w}` ({d})" for w, d in ex["extra"])
                )
            if ex["bad_distance"]:
                parts.append(
                    "distance: "
                    + ", ".join(
                        f"`{w}` {base} {a}, {name} {b}, true {t}"
                        for w, a, b, t in ex["bad_distance"]
                    )
                )
            add(f"- `{ex['query']}`: " + "; ".join(parts))
        add("")
    for name, result in results.items():
        for k, data in result["search"].items():
            repeats = data.get("repeats") or []
            if repeats:
                any_diff = True
                shown = ", ".join(f"`{work.queries[i]}`" for i in repeats[:5])
                add(
                    f"**{name}, k = {k}**: {len(repeats):,} answers name a word more than once"
                    f" (the sets above count it once), for example for {shown}."
                )
                add("")
    if not any_diff:
        add(
            "None: every library that answered returned the same set as the reference for every query."
        )
        add("")

    if plots:
        add("## Plots")
        add("")
        for plot in plots:
            add(f"![{plot}]({plot})")
            add("")
    notes = report_notes(results, run_info)
    if notes:
        add("## Notes")
        add("")
        lines.extend(notes)
        add("")
    with open(out, "w", encoding="utf-8") as f:
        f.write("\n".join(lines).rstrip() + "\n")
    summary["plots"] = plots
    summary["targets"] = rows
    return summary


def report_notes(results: dict, run_info: dict) -> list:
    notes = []
    for name in run_info["missing"]:
        notes.append(f"- {name} is not installed here, so it was skipped.")
    notes.append(
        "- Where quillomar's query time goes: `bench/peers/hot_loop.py` runs the same queries in a bare"
        " loop for `perf record` or `valgrind --tool=callgrind`."
    )
    if run_info.get("sample"):
        notes.append(
            f"- Every library timed at most {run_info['sample']:,} term queries in this run."
        )
    return notes
