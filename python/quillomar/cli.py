"""The ``quillomar`` command line: build, query and inspect stored indexes.

Exit status: 0 on success, 2 on any error (bad arguments, unreadable or
invalid input files), with one line on stderr and no traceback.
"""

from __future__ import annotations

import argparse
import json
import mmap
import os
import signal
import sys
import time
from typing import Callable, List, NoReturn, Optional, Sequence, Tuple, Union

from _quillomar import PrefixSearch

from . import __version__
from ._atomic import write_atomic_with
from ._engine import MappedIndex
from ._format import FormatError, summarize
from ._internal_failure import is_internal_failure
from ._progress import ProgressBar
from ._validation import excerpt
from .builder import DEFAULT_TERM_TOP_N, DEFAULT_TOP_N, IndexBuilder
from .log_files import Columns, LogFileError, add_file
from .metadata import IndexMetadata
from .normalization import DEFAULT_NORMALIZATION, NORMALIZATION_NAMES
from .storage import (
    SEARCH_SECTION,
    TERM_TABLE_SECTION,
    TERM_TRIE_SECTION,
    StoredIndex,
    append_metadata,
    load,
    read_trailer,
    verify_checksums,
)

__all__ = ["main"]

PROG = "quillomar"
EXIT_ERROR = 2


class CliError(Exception):
    """An error reported as one line on stderr with exit status 2."""


class Stopped(BaseException):
    """SIGTERM or SIGHUP arrived: raised where the program is, so that
    cleanup (the build's temporary file) runs as for Ctrl-C."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


_MEMORY_UNITS = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30, "T": 1 << 40}


def _memory_size(text: str) -> int:
    """A size such as 512M or 6G (powers of 1,024; a plain number is bytes)."""
    spelt = text.strip().upper().removesuffix("B").removesuffix("I")
    unit = spelt[-1:] if spelt[-1:] in _MEMORY_UNITS else ""
    try:
        value = float(spelt[: len(spelt) - len(unit)])
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a size such as 512M or 6G") from None
    size = int(value * _MEMORY_UNITS[unit])
    if size < 64 << 20:
        raise argparse.ArgumentTypeError(f"{text!r} is below the 64M a build needs at least")
    return size


def _limit_memory(size: int) -> None:
    """Cap the address space of this process at ``size`` bytes, so that a
    build that does not fit fails with MemoryError instead of pushing the
    machine into swap or its out-of-memory killer."""
    import resource

    _, hard = resource.getrlimit(resource.RLIMIT_AS)
    if hard != resource.RLIM_INFINITY and size > hard:
        raise CliError(f"--max-memory is above this process's limit of {_size_text(hard)}")
    resource.setrlimit(resource.RLIMIT_AS, (size, hard))


def _size_text(size: int) -> str:
    for unit in ("T", "G", "M", "K"):
        if size >= _MEMORY_UNITS[unit]:
            return f"{size / _MEMORY_UNITS[unit]:.1f}{unit}"
    return f"{size} bytes"


def _stop_on_signals() -> None:
    def stop(signum: int, _frame: object) -> None:
        raise Stopped(signum)

    for name in ("SIGTERM", "SIGHUP"):
        number = getattr(signal, name, None)
        if number is not None:
            signal.signal(number, stop)


# -- helpers ----------------------------------------------------------------


def _non_negative(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not an integer") from None
    if not 0 <= value <= 4294967295:
        raise argparse.ArgumentTypeError(f"{value} is outside 0..4294967295")
    return value


def _float(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None


def _read_index_bytes(path: str) -> bytes:
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError as err:
        raise CliError(f"cannot read index {path!r}: {err.strerror or err}") from None


def load_index(path: str) -> StoredIndex:
    """Load a stored index and its metadata, turning every failure into a
    CliError."""
    try:
        return load(path)
    except OSError as err:
        raise CliError(f"cannot read index {path!r}: {err.strerror or err}") from None
    except ValueError as err:
        raise CliError(f"{path!r} is not a quillomar index, or is truncated ({err})") from None


def _check_query(term: str) -> None:
    # Arguments that are not UTF-8 reach Python as lone surrogates, which
    # the index cannot take.
    try:
        term.encode("utf-8")
    except UnicodeEncodeError:
        raise CliError(f"query {excerpt(term)} is not valid UTF-8 text") from None


def _guarded(query: Callable[[], object], path: str) -> object:
    """Run a query; an index that decodes but is internally inconsistent
    makes the extension raise its internal-failure exception, which becomes
    a CliError here."""
    try:
        return query()
    except BaseException as err:
        if is_internal_failure(err):
            raise CliError(f"index {path!r} is damaged: {err}") from None
        raise


def _table(headers: Sequence[str], rows: Sequence[Sequence[str]], right: Sequence[bool]) -> str:
    widths = [len(h) for h in headers]
    for row in rows:
        widths = [max(w, len(cell)) for w, cell in zip(widths, row)]

    def line(cells: Sequence[str]) -> str:
        parts = [c.rjust(w) if r else c.ljust(w) for c, w, r in zip(cells, widths, right)]
        return "  ".join(parts).rstrip()

    out = [line(headers), line(["-" * w for w in widths])]
    out.extend(line(row) for row in rows)
    return "\n".join(out)


def _plural(n: int, word: str) -> str:
    return f"{n:,} {word}" + ("" if n == 1 else "s")


def closest_terms(
    index: Union[PrefixSearch, StoredIndex], term: str, max_dist: int, limit: Optional[int]
) -> List[Tuple[str, int]]:
    """Terms within ``max_dist`` edits, closest first, then alphabetical.

    The extension lists matches in trie order and its own limit keeps the
    first ones met, not the closest, so the cut is made here after sorting.
    """
    found = sorted((distance, text) for text, _, distance in index.fuzzy_match(term, max_dist))
    if limit is not None:
        found = found[:limit]
    return [(text, distance) for distance, text in found]


# -- commands ---------------------------------------------------------------


def cmd_build(args: argparse.Namespace) -> int:
    _stop_on_signals()
    if args.max_memory is not None:
        _limit_memory(args.max_memory)
    try:
        return _build(args)
    except MemoryError:
        limit = (
            f"the --max-memory of {_size_text(args.max_memory)}"
            if args.max_memory is not None
            else "the memory this process may use"
        )
        raise CliError(
            f"out of memory: building {args.output!r} from {args.records!r} needs more than "
            f"{limit}; nothing was written"
        ) from None


def _build(args: argparse.Namespace) -> int:
    started = time.monotonic()
    if args.half_life is None and (args.time_column is not None or args.as_of is not None):
        raise CliError("--time-column and --as-of need --half-life")
    if args.half_life is not None and args.time_column is None:
        raise CliError("--half-life needs --time-column")
    try:
        builder = IndexBuilder(
            normalization=args.normalize, half_life=args.half_life, as_of=args.as_of
        )
    except ValueError as err:
        raise CliError(str(err)) from None
    bar = ProgressBar(f"reading {os.path.basename(args.records)}")
    count = args.count_column
    columns = Columns(
        args.term_column,
        args.video_column,
        None if count is not None and count.lower() == "none" else (count or "count"),
        count_required=count is not None,
        time=args.time_column,
    )
    try:
        rows = add_file(builder, args.records, columns, progress=bar.update)
    except LogFileError as err:
        raise CliError(str(err)) from None
    except ImportError as err:
        raise CliError(str(err)) from None
    except OSError as err:
        raise CliError(f"cannot read records {args.records!r}: {err.strerror or err}") from None
    finally:
        bar.close()
    try:
        terms, videos = len(builder), builder.video_count
    except ValueError as err:
        raise CliError(f"{args.records}: {err}") from None
    recency = builder.recency
    if sys.stderr.isatty() and time.monotonic() - started > 1.0:
        print(
            f"building the index of {_plural(terms, 'term')} from {_plural(rows, 'row')}...",
            file=sys.stderr,
        )
    written = 0
    # Built while the records are held; the index's encoding releases them.
    sections = builder.term_sections(args.term_top_n) if args.term_top_n else []

    def fill(fd: int) -> None:
        nonlocal written
        written, section = builder.write_with_section(fd, args.top_n, release=True)
        searched = [] if section is None else [(SEARCH_SECTION, section.write)]
        # The sections and the trailer go after the index, as save() writes them.
        append_metadata(
            fd,
            written,
            normalization=builder.normalization,
            top_n=args.top_n,
            videos=videos,
            recency=recency,
            sections=[*sections, *searched],
        )

    try:
        write_atomic_with(args.output, fill)
    except OSError as err:
        raise CliError(f"cannot write index {args.output!r}: {err.strerror or err}") from None
    elapsed = time.monotonic() - started
    print(
        f"wrote {args.output}: {_plural(terms, 'term')}, "
        f"{_plural(videos, 'video')}, "
        f"{_plural(written, 'byte')} in {elapsed:.1f} s"
    )
    return 0


def _search_section_rows(
    path: str, index_length: int, meta: IndexMetadata
) -> List[Tuple[str, str]]:
    """Whether load() maps the file, and the size of each array of its
    search section beside the encoded index it is derived from."""
    section = meta.section(SEARCH_SECTION)
    if section is None:
        return [("search section", "none: the index is decoded on load")]
    try:
        with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as view:
            index = MappedIndex(view, section.offset, section.length)
            parts = index.parts()
            del index  # before the mapping closes
    except (OSError, ValueError) as err:
        return [("search section", f"unusable, the index is decoded on load ({err})")]
    ratio = section.length / index_length if index_length else 0.0
    rows = [
        (
            "search section",
            f"mapped on load: {_plural(section.length, 'byte')}, "
            f"{ratio:.2f} times the encoded index",
        )
    ]
    rows += [(f"  {name}", _plural(size, "byte")) for name, size in parts if size]
    return rows


def cmd_query(args: argparse.Namespace) -> int:
    if not args.videos and (args.prefix_nodes or args.min_score is not None):
        raise CliError("--prefix-nodes and --min-score apply only with --videos")
    _check_query(args.term)
    stored = load_index(args.index)
    if args.videos and not args.exact:
        return _query_autocomplete(args, stored)
    term = args.term
    if not args.exact:
        term = _guarded(lambda: stored.normalization(args.term), args.index)
        assert isinstance(term, str)
    max_dist = 1 if args.max_dist is None else args.max_dist
    if args.videos:
        videos = _guarded(
            lambda: stored.fuzzy_match_video(
                term, max_dist, args.limit, True if args.prefix_nodes else None, args.min_score
            ),
            args.index,
        )
        assert isinstance(videos, list)
        if args.json:
            for video, score in videos:
                print(json.dumps({"video": video, "score": score}))
        elif videos:
            print(
                _table(
                    ["rank", "video", "score"],
                    [
                        [str(rank), video, f"{score:.4f}"]
                        for rank, (video, score) in enumerate(videos, 1)
                    ],
                    [True, False, True],
                )
            )
        else:
            print(f"no videos for {term!r}")
        return 0
    terms = _guarded(lambda: closest_terms(stored, term, max_dist, args.limit), args.index)
    assert isinstance(terms, list)
    if args.json:
        for text, distance in terms:
            print(json.dumps({"term": text, "distance": distance}, ensure_ascii=False))
    elif terms:
        print(
            _table(
                ["term", "distance"],
                [[text, str(distance)] for text, distance in terms],
                [False, True],
            )
        )
    else:
        print(f"no terms within {_plural(max_dist, 'edit')} of {term!r}")
    return 0


def _query_autocomplete(args: argparse.Namespace, stored: StoredIndex) -> int:
    from .autocomplete import Autocomplete, Completion

    try:
        search = Autocomplete(stored, limit=args.limit)
    except ValueError as err:  # a normalisation this version does not know
        raise CliError(f"index {args.index!r}: {err}") from None
    found = _guarded(
        lambda: search.complete(args.term, max_dist=args.max_dist, min_score=args.min_score),
        args.index,
    )
    assert isinstance(found, Completion)
    if args.json:
        for s in found.results:
            print(json.dumps({"video": s.video, "score": s.score, "corrected": s.corrected}))
        return 0
    if not found.results:
        print(f"no videos for {found.query!r}")
        return 0
    # Corrected rows (found only through edits) are marked with a star.
    print(
        _table(
            ["rank", "video", "score"],
            [
                [f"{rank}{'*' if s.corrected else ''}", s.video, f"{s.score:.4f}"]
                for rank, s in enumerate(found.results, 1)
            ],
            [True, False, True],
        )
    )
    if any(s.corrected for s in found.results):
        print(
            f"* found with up to {_plural(search.edits_for(found.query, args.max_dist), 'edit')} "
            f"of {found.query!r}"
        )
    return 0


def cmd_info(args: argparse.Namespace) -> int:
    try:
        trailer = read_trailer(args.index)
    except OSError as err:
        raise CliError(f"cannot read index {args.index!r}: {err.strerror or err}") from None
    except ValueError as err:
        raise CliError(
            f"{args.index!r} is not a quillomar index, or is truncated ({err})"
        ) from None
    if trailer is not None:
        # The counts were recorded when the index was written: the index is
        # read only to check its checksum.
        index_length, meta = trailer
        try:
            verify_checksums(args.index, index_length, meta)
        except OSError as err:
            raise CliError(f"cannot read index {args.index!r}: {err.strerror or err}") from None
        except ValueError as err:
            raise CliError(f"{args.index!r} is damaged ({err})") from None
        size = os.path.getsize(args.index)
        rows = [
            ("index", args.index),
            ("encoded size", _plural(size, "byte")),
            (
                "metadata",
                f"{_plural(size - index_length, 'byte')} after the index (version {meta.version})",
            ),
            ("nodes", f"{meta.nodes:,}"),
            ("terms", f"{meta.terms:,}"),
            ("videos", f"{meta.videos:,}"),
            ("identifier mode", meta.id_mode),
            ("normalization", meta.normalization),
            ("top n", "not recorded" if meta.top_n is None else f"{meta.top_n:,}"),
            *_recency_rows(meta),
            ("built", meta.built_at + (f" by {meta.writer}" if meta.writer else "")),
            (
                "index checksum",
                "not recorded"
                if meta.index_checksum is None
                else f"CRC-32 {meta.index_checksum:08x} over "
                f"{_plural(index_length, 'byte')}, checksum ok",
            ),
        ]
        rows += [
            (
                f"section {s.name}",
                f"{_plural(s.length, 'byte')} at offset {s.offset:,}, checksum ok",
            )
            for s in meta.sections
        ]
        rows.append(("matching", _matching_of(meta)))
        rows += _search_section_rows(args.index, index_length, meta)
        _print_rows(rows)
        return 0
    data = _read_index_bytes(args.index)
    load_index(args.index)  # the extension's own decoder has the last word
    bar = ProgressBar(f"reading {os.path.basename(args.index)}")
    try:
        summary = summarize(data, progress=bar.update)
    except FormatError as err:
        raise CliError(f"{args.index!r} is not a quillomar index ({err})") from None
    finally:
        bar.close()
    rows = [
        ("index", args.index),
        ("encoded size", _plural(summary.size, "byte")),
        ("metadata", "none (terms as logged, not normalised)"),
        ("matching", _START_ONLY),
        ("nodes", f"{summary.nodes:,}"),
        ("terms", f"{summary.terms:,}"),
        ("videos", f"{summary.videos:,}"),
        ("identifier mode", summary.id_mode),
        ("child slots", f"{summary.child_slots:,}"),
        ("videos per node", f"at most {summary.longest_video_list:,}"),
    ]
    if not summary.consistent:
        rows.append(("warning", "per-node fields differ in length"))
    if summary.trailing_bytes:
        rows.append(
            ("warning", f"{_plural(summary.trailing_bytes, 'byte')} after the end of the index")
        )
    _print_rows(rows)
    return 0


def _recency_rows(meta: object) -> List[Tuple[str, str]]:
    half_life = getattr(meta, "half_life", None)
    if half_life is None:
        return []
    return [("half-life", f"{half_life:g} s"), ("as of", str(getattr(meta, "as_of", "")))]


_START_ONLY = "from the start of terms only (the file has no term sections)"


def _matching_of(meta: IndexMetadata) -> str:
    if meta.section(TERM_TRIE_SECTION) and meta.section(TERM_TABLE_SECTION):
        return "any word, in any order, with suggested searches"
    return _START_ONLY


def _print_rows(rows: Sequence[Tuple[str, str]]) -> None:
    width = max(len(key) for key, _ in rows)
    for key, value in rows:
        print(f"{key.ljust(width)}  {value}")


DEMO_QUERIES: List[Tuple[str, str, int]] = [
    # (query, what kind of query, edits allowed)
    ("gutiar chords", "misspelt", 2),
    ("pyhton tutorial", "misspelt", 2),
    ("sourdough bred recipe", "misspelt", 1),
    ("japanese leson 1", "misspelt", 1),
    ("chess open", "half-typed", 1),
    ("machine lea", "half-typed", 1),
    ("how to grow bons", "half-typed", 1),
]


def cmd_demo(args: argparse.Namespace) -> int:
    from .sample import sample_index, sample_titles

    for query in args.queries:
        _check_query(query)
    started = time.monotonic()
    index = sample_index()
    titles = sample_titles()
    summary = summarize(index.to_bytes())
    print(
        f"sample index: {summary.terms:,} search terms, "
        f"{summary.videos:,} videos, {summary.nodes:,} trie nodes "
        f"(built in {time.monotonic() - started:.2f} s)"
    )
    if args.queries:
        queries = [
            (q, "your query", 1 if args.max_dist is None else args.max_dist) for q in args.queries
        ]
    else:
        queries = [
            (q, kind, k if args.max_dist is None else args.max_dist) for q, kind, k in DEMO_QUERIES
        ]
    for query, kind, max_dist in queries:
        print()
        print(f"{query!r}  ({kind}, up to {_plural(max_dist, 'edit')})")
        terms = closest_terms(index, query, max_dist, 3)
        if terms:
            listed = ", ".join(f"{text!r} ({distance})" for text, distance in terms)
            print(f"  terms:  {listed}")
        else:
            print(
                f"  terms:  none within {_plural(max_dist, 'edit')}; videos "
                "come from the longer terms it begins"
            )
        videos = index.fuzzy_match_video(query, max_dist, 3)
        for rank, (video, score) in enumerate(videos, 1):
            print(f"  {rank}. {score:6.3f}  {video:>8}  {titles.get(video, '')}")
        if not videos:
            print("  no videos")
    return 0


def cmd_serve(args: argparse.Namespace) -> int:
    try:
        from .web.server import Bounds, ServeError, index_arguments, start
    except ImportError as err:
        raise CliError(
            f"serve needs the serve extra ({err}): pip install 'quillomar[serve]'"
        ) from None
    try:
        return start(
            index_arguments(args.index),
            default_index=args.default_index,
            access_log=args.access_log,
            bounds=Bounds(
                read_timeout=args.read_timeout,
                keep_alive=args.keep_alive,
                max_connections=args.max_connections,
                watchdog=args.watchdog,
                drain=args.drain,
            ),
            host=args.host,
            port=args.port,
            workers=args.workers,
            titles_path=args.titles,
            reload_on_change=args.reload_on_change,
            poll_interval=args.poll_interval,
            log_level=args.log_level,
        )
    except ServeError as err:
        raise CliError(str(err)) from None


def _positive(text: str) -> int:
    value = _non_negative(text)
    if value == 0:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def _interval(text: str) -> float:
    value = _float(text)
    if not 0.01 <= value <= 3600:
        raise argparse.ArgumentTypeError(f"{value} is outside 0.01..3600 seconds")
    return value


def _port(text: str) -> int:
    value = _non_negative(text)
    if value > 65535:
        raise argparse.ArgumentTypeError(f"{value} is outside 0..65535")
    return value


# -- parser -----------------------------------------------------------------


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # One line, like every other error of this program (argparse would
        # print the usage first).
        self.exit(EXIT_ERROR, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")


def make_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        description="Typo-tolerant prefix search over search terms and the videos they led to.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    commands.required = True

    build = commands.add_parser(
        "build",
        help="build an index from a records file",
        description="Build an index from CSV or TSV records with a header "
        "naming the columns term, video and, optionally, count (gzip "
        "accepted), or from a Parquet file or dataset folder "
        "(needs pyarrow: pip install 'quillomar[parquet]'). "
        "Records for the same term and video add up; "
        "video ids are all integers or all UUIDs. The index is "
        "written atomically: a failed or interrupted build leaves "
        "no file, or the old one untouched. A rebuild keeps the "
        "old file's permissions and, where allowed, its owner; "
        "an INDEX that is a symbolic link has the file it leads "
        "to replaced; a device, FIFO, socket or directory at "
        "INDEX is refused. Running out of memory is an error "
        "with exit status 2.",
    )
    build.add_argument(
        "records",
        metavar="RECORDS",
        help="CSV or TSV file, optionally gzip-compressed, or a Parquet file or folder",
    )
    build.add_argument(
        "-o", "--output", metavar="INDEX", required=True, help="where to write the index"
    )
    build.add_argument(
        "--max-memory",
        type=_memory_size,
        default=None,
        metavar="SIZE",
        help="stop with an error, writing nothing, when the build would need "
        "more than SIZE of address space (e.g. 4G; default: no limit but "
        "the system's)",
    )
    build.add_argument(
        "--top-n",
        type=_non_negative,
        default=DEFAULT_TOP_N,
        metavar="N",
        help="videos kept per trie node (default: %(default)s)",
    )
    build.add_argument(
        "--term-top-n",
        type=_non_negative,
        default=DEFAULT_TERM_TOP_N,
        metavar="N",
        help="terms kept per node of the term trie that matches any word in any "
        "order and suggests searches; 0 stores no term trie, and the index then "
        "matches from the start of terms only (default: %(default)s)",
    )
    build.add_argument(
        "--normalize",
        choices=NORMALIZATION_NAMES,
        default=DEFAULT_NORMALIZATION,
        help="how terms are normalised before they are "
        "indexed, recorded in the index for queries to "
        "follow: 'default' folds case, compatibility "
        "forms and runs of white space, 'fold-accents' "
        "also drops accents, 'none' keeps terms as "
        "logged (default: %(default)s)",
    )
    for column in ("term", "video"):
        build.add_argument(
            f"--{column}-column",
            default=column,
            metavar="NAME",
            help=f"name of the {column} column (default: %(default)s)",
        )
    build.add_argument(
        "--count-column",
        default=None,
        metavar="NAME",
        help="name of the count column, or 'none' for a log of events where every row "
        "counts 1 (default: count when the log has it, else every row counts 1)",
    )
    build.add_argument(
        "--time-column",
        default=None,
        metavar="NAME",
        help="name of a column of timestamps (ISO 8601 or Unix seconds) by which the "
        "rows decay; needs --half-life",
    )
    build.add_argument(
        "--half-life",
        default=None,
        metavar="DURATION",
        help="with --time-column: a row's weight halves every DURATION of its age "
        "(7d, 12h, 30m, 3600s); summed weights become counts, the largest 2**20",
    )
    build.add_argument(
        "--as-of",
        default=None,
        metavar="TIME",
        help="with --half-life: the time ages are measured to, ISO 8601 or Unix seconds; "
        "later rows are refused (default: the newest timestamp in the log)",
    )
    build.set_defaults(run=cmd_build)

    query = commands.add_parser(
        "query",
        help="search an index for terms or videos",
        description="List the indexed terms within --max-dist edits of TERM, "
        "closest first; with --videos, suggest videos for TERM as "
        "typed so far: TERM is normalised as the index's terms "
        "were, the videos of the terms it begins come first, "
        "and edits (none below 3 characters, 1 up to 5, 2 "
        "beyond) fill the list up. --exact queries the index as "
        "it is: TERM unchanged, one edit, the index's own "
        "ranking.",
    )
    query.add_argument("index", metavar="INDEX", help="an index file")
    query.add_argument("term", metavar="TERM", help="the query text")
    query.add_argument(
        "--max-dist",
        type=_non_negative,
        default=None,
        metavar="K",
        help="edits allowed (default: 1; with --videos, by the length of TERM)",
    )
    query.add_argument(
        "--limit",
        type=_non_negative,
        default=10,
        metavar="N",
        help="rows to show at most (default: %(default)s)",
    )
    query.add_argument("--videos", action="store_true", help="rank videos instead of listing terms")
    query.add_argument(
        "--exact",
        action="store_true",
        help="no normalisation and the index's own defaults "
        "(one edit, prefixes only when no whole term is "
        "close enough)",
    )
    query.add_argument(
        "--prefix-nodes",
        action="store_true",
        help="with --videos: always score prefixes too, not "
        "only when no whole term is close enough (the "
        "default without --exact)",
    )
    query.add_argument(
        "--min-score",
        type=_float,
        default=None,
        metavar="X",
        help="with --videos: drop videos scoring below X (default: 0.001; 0.01 with --exact)",
    )
    query.add_argument("--json", action="store_true", help="print one JSON object per line")
    query.set_defaults(run=cmd_query)

    info = commands.add_parser(
        "info",
        help="show the size and counts of an index",
        description="Show the nodes, terms, videos, identifier mode and "
        "encoded size of an index file.",
    )
    info.add_argument("index", metavar="INDEX", help="an index file")
    info.set_defaults(run=cmd_info)

    demo = commands.add_parser(
        "demo",
        help="try misspelt and half-typed queries on a sample index",
        description="Build the sample index shipped with the package (about "
        "three thousand search terms) and show the terms and "
        "ranked videos for a few misspelt and half-typed "
        "queries, or for your own.",
    )
    demo.add_argument(
        "queries", nargs="*", metavar="QUERY", help="queries to run instead of the built-in ones"
    )
    demo.add_argument(
        "--max-dist",
        type=_non_negative,
        default=None,
        metavar="K",
        help="edits allowed (default: 1 for your queries, 1 or 2 for the built-in ones)",
    )
    demo.set_defaults(run=cmd_demo)

    serve = commands.add_parser(
        "serve",
        help="serve search-as-you-type over HTTP",
        description="Serve GET /complete?q=TEXT (ranked videos as JSON), "
        "GET /health, GET /metrics (Prometheus) and a search-as-you-type "
        "page at /. With no INDEX, the sample index and its titles; with "
        "several, NAME=PATH each, and /complete?index=NAME picks one. "
        "Indexes are loaded once, before the workers start, and shared "
        "by them. A worker that dies or makes no progress within the "
        "watchdog interval is replaced. Each worker caps a request's "
        "line and headers at 16 KiB together (400 beyond), waits at most "
        "--read-timeout for a whole request and answers 503 beyond "
        "--max-connections. SIGINT or SIGTERM stops it after the "
        "requests in hand, within --drain seconds.",
    )
    serve.add_argument(
        "index",
        metavar="INDEX",
        nargs="*",
        default=[],
        help="an index file, or NAME=PATH for each of several (default: the sample index)",
    )
    serve.add_argument(
        "--default-index",
        metavar="NAME",
        default=None,
        help="the index that answers when a request names none (default: the first)",
    )
    serve.add_argument(
        "--host", default="127.0.0.1", help="address to listen on (default: %(default)s)"
    )
    serve.add_argument(
        "--port",
        type=_port,
        default=8000,
        help="port to listen on, 0 for any free one (default: %(default)s)",
    )
    serve.add_argument(
        "--workers",
        type=_positive,
        default=1,
        metavar="N",
        help="worker processes, about one per core (default: %(default)s)",
    )
    serve.add_argument(
        "--titles",
        metavar="FILE",
        default=None,
        help="CSV or TSV of video and title columns, shown beside the ids",
    )
    serve.add_argument(
        "--reload-on-change",
        action="store_true",
        help="watch INDEX and swap in a replacement without "
        "stopping; a file that does not load is refused",
    )
    serve.add_argument(
        "--poll-interval",
        type=_interval,
        default=1.0,
        metavar="SECONDS",
        help="how often INDEX is checked (default: %(default)s)",
    )
    serve.add_argument(
        "--log-level",
        default="warning",
        choices=["debug", "info", "warning", "error"],
        help="(default: %(default)s)",
    )
    serve.add_argument(
        "--access-log",
        action="store_true",
        help="write one JSON line per request to standard error",
    )
    serve.add_argument(
        "--read-timeout",
        type=_interval,
        default=5.0,
        metavar="SECONDS",
        help="a request must arrive whole within this long of its first "
        "byte, or the connection closes (default: %(default)s)",
    )
    serve.add_argument(
        "--keep-alive",
        type=_interval,
        default=5.0,
        metavar="SECONDS",
        help="idle kept-alive connections close after this long (default: %(default)s)",
    )
    serve.add_argument(
        "--max-connections",
        type=_positive,
        default=2048,
        metavar="N",
        help="open connections per worker; requests beyond are answered 503 (default: %(default)s)",
    )
    serve.add_argument(
        "--watchdog",
        type=_interval,
        default=10.0,
        metavar="SECONDS",
        help="a worker whose event loop makes no progress for this long is "
        "killed and replaced (default: %(default)s)",
    )
    serve.add_argument(
        "--drain",
        type=_interval,
        default=10.0,
        metavar="SECONDS",
        help="how long stopping or retiring workers may finish the requests "
        "in hand before they are killed (default: %(default)s)",
    )
    serve.set_defaults(run=cmd_serve)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = make_parser().parse_args(argv)
    try:
        result: int = args.run(args)
        return result
    except CliError as err:
        print(f"{PROG}: error: {err}", file=sys.stderr)
        return EXIT_ERROR
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except Stopped as stop:
        print(f"{PROG}: stopped by {signal.Signals(stop.signum).name}", file=sys.stderr)
        return 128 + stop.signum
    except MemoryError:
        print(f"{PROG}: error: out of memory", file=sys.stderr)
        return EXIT_ERROR
    except BrokenPipeError:
        # Output piped into a program that stopped reading (e.g. head).
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0
