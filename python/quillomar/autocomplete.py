"""A search box over an index: normalised queries and typing-aware defaults.

``PrefixSearch.fuzzy_match_video`` does exactly what it is told. What a
search box needs on top of it:

* the query normalised the way the index's terms were (the file's metadata
  says how), so that "Guitar  Chords" finds "guitar chords";
* an edit budget that grows with what has been typed: on one or two
  characters any edit reaches nearly every short term, while on a long
  query a typo is likely and the budget is cheap;
* prefix nodes always scored, since the last word is usually half typed
  (without them a half-typed "guit" is ranked on the whole term "git");
* what was typed taken at its word: the videos that the text as typed
  leads to come first, and corrections only fill the list up;
* a result list long enough to show, and no minimum share that empties it
  on short prefixes, whose best videos each hold a small share of many
  searches;
* any word in any order: with the file's term index, each typed word may
  reach any word of a term ("chords" finds "guitar chords", "lessons
  guitar" finds "guitar lessons"), the last one as a prefix unless a
  trailing space finished it; these matches fill the list after what the
  text reaches from the start of terms, and the terms themselves are
  offered as suggested searches.

These defaults were chosen by measuring simulated typing on search logs
(``bench/bench_quality.py``); each can be changed per object and per call.
"""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from typing import (
    Callable,
    Iterable,
    List,
    Optional,
    Sequence,
    Set,
    Tuple,
    Union,
    cast,
)

from _quillomar import PrefixSearch

from ._engine import TermIndex
from ._validation import excerpt
from .metadata import IndexMetadata
from .normalization import Normalization, get_normalization
from .storage import SearchIndex, StoredIndex, load

__all__ = [
    "Autocomplete",
    "Completion",
    "DEFAULT_EDIT_STEPS",
    "DEFAULT_FILL",
    "DEFAULT_LIMIT",
    "DEFAULT_MIN_SCORE",
    "DEFAULT_SUGGESTIONS",
    "FILL_ORDERS",
    "HOWS",
    "SearchSuggestion",
    "MAX_TEXT_LENGTH",
    "Suggestion",
    "typing_max_dist",
]

MAX_TEXT_LENGTH = 4096
"""Characters of text that :meth:`Autocomplete.complete` takes at most."""

DEFAULT_LIMIT = 10
"""Suggestions returned when no limit is given."""

DEFAULT_MIN_SCORE = 0.001
"""Lowest share of the matched searches a suggested video must hold."""

DEFAULT_EDIT_STEPS: Tuple[Tuple[int, int], ...] = ((3, 1), (6, 2))
"""(normalised length from which, edits allowed): no edit below 3 code
points, one from 3 to 5, two from 6."""

DEFAULT_SUGGESTIONS = 10
"""Suggested search texts returned when no number is given."""

HOWS = ("start", "word", "order")
"""How a match was made: the text reaches the start of the term; it
reaches, in order, the term from a later word; its words reach the term's
words in another order."""

FILL_ORDERS = ("typed-first", "start-first")
"""After the videos that the text as typed reaches from the start of terms:
``"typed-first"`` puts the videos of terms that every typed word reaches
unchanged (another word, another order) before the corrected matches from
the start; ``"start-first"`` puts the corrected matches from the start
first."""

DEFAULT_FILL = "typed-first"

EditBudget = Union[int, Callable[[int], int], None]

# Typed words and word length that any-word matching takes (the native
# matcher's bounds): a longer text is matched from the start of terms only.
_MAX_WORDS = 8
_MAX_WORD_LENGTH = 32
# Candidates each term-trie search hands to the word-by-word check.
_CANDIDATES = 64

_TermRow = Tuple[int, str, int, int, bool, Tuple[int, ...]]
_VideoRow = Tuple[str, float, bool, str]


def typing_max_dist(length: int, steps: Sequence[Tuple[int, int]] = DEFAULT_EDIT_STEPS) -> int:
    """Edits allowed for a normalised query of ``length`` code points."""
    allowed = 0
    for start, edits in steps:
        if length >= start:
            allowed = edits
    return allowed


@dataclass(frozen=True)
class Suggestion:
    """One suggested video."""

    video: str
    """The video's identifier text (decimal, or a UUID's 36 characters)."""
    score: float
    """Its share of the matched searches' weight, as the index ranks it
    (exact and corrected suggestions are ranked by separate searches)."""
    corrected: bool
    """True when the video comes from matches that needed edits: it fills
    the list after every video that the text as typed leads to."""
    how: str = "start"
    """How its term matched (one of :data:`HOWS`)."""


@dataclass(frozen=True)
class SearchSuggestion:
    """One suggested search: an indexed term that the typed text reaches."""

    text: str
    """The term as indexed."""
    score: int
    """How often it was searched (its total)."""
    how: str
    """How it matched (one of :data:`HOWS`)."""
    corrected: bool
    """True when some typed word reached it only through edits."""
    highlight: Tuple[Tuple[int, int], ...]
    """The [start, end) code point ranges of ``text`` that the typed words
    reached, in order."""


@dataclass(frozen=True)
class Completion:
    """The answer to one query."""

    query: str
    """The normalised text that was searched."""
    corrected: bool
    """True when there are suggestions and all of them needed edits: no
    indexed text begins with the query as typed."""
    results: List[Suggestion]
    """The videos that the query as typed leads to, best first, then those
    that need edits, best first."""
    suggestions: List[SearchSuggestion] = field(default_factory=list)
    """Indexed terms the text reaches, those without edits first, each
    group by how often it was searched."""


IndexSource = Union[PrefixSearch, StoredIndex, str, "os.PathLike[str]"]


class Autocomplete:
    """Completions for text as people type it into a search box.

    ``index_or_path`` is a :class:`PrefixSearch`, what
    :func:`quillomar.load` returns, or the path of an index file (mapped
    when it has a search section, see :func:`quillomar.load`). ``normalization`` None applies
    what the file's metadata names ("none" when there is none, as for a
    bare ``PrefixSearch``); a name or :class:`Normalization` overrides it.

    ``max_dist`` None allows edits by the normalised query's length (see
    :func:`typing_max_dist`); an int fixes the edits, a callable maps the
    length to them. From the start of terms the budget is the whole
    text's; word by word each typed word has the budget of its own length.
    ``limit``, ``min_score`` and ``include_prefix_nodes`` are passed to
    ``fuzzy_match_video``.

    With a term index (files that ``quillomar build`` writes, or ``terms``
    given), ``any_word`` matches each typed word against any word of a term
    and in any order; ``fill`` (one of :data:`FILL_ORDERS`) places those
    videos; ``suggestions`` is how many suggested search texts to return
    (0 for none). Each setting can be given again, per call, to
    :meth:`complete`.

    Immutable after construction, so one object serves many threads; it
    pickles with its index (a callable ``max_dist`` must pickle too: a
    module-level function does, a lambda does not).
    """

    __slots__ = (
        "_stored",
        "_normalization",
        "_limit",
        "_max_dist",
        "_min_score",
        "_include_prefix_nodes",
        "_any_word",
        "_fill",
        "_suggestions",
    )
    _stored: StoredIndex
    _normalization: Normalization
    _limit: Optional[int]
    _max_dist: EditBudget
    _min_score: Optional[float]
    _include_prefix_nodes: bool
    _any_word: bool
    _fill: str
    _suggestions: int

    def __init__(
        self,
        index_or_path: IndexSource,
        *,
        limit: Optional[int] = DEFAULT_LIMIT,
        max_dist: EditBudget = None,
        min_score: Optional[float] = None,
        include_prefix_nodes: bool = True,
        normalization: Union[str, Normalization, None] = None,
        any_word: bool = True,
        fill: str = DEFAULT_FILL,
        suggestions: int = DEFAULT_SUGGESTIONS,
        terms: Optional[TermIndex] = None,
    ) -> None:
        source = index_or_path
        if isinstance(source, (str, os.PathLike)):
            source = load(source)
        if isinstance(source, PrefixSearch):
            source = StoredIndex(source)
        elif not isinstance(source, StoredIndex):
            raise TypeError(
                "index_or_path must be a PrefixSearch, a loaded index or a "
                f"path, not {type(source).__name__}"
            )
        if terms is not None:
            source = StoredIndex(source.index, source.metadata, terms)
        _set = object.__setattr__
        _set(self, "_stored", source)
        _set(
            self,
            "_normalization",
            source.normalization if normalization is None else get_normalization(normalization),
        )
        _set(self, "_limit", _check_limit(limit))
        _set(self, "_max_dist", _check_budget(max_dist))
        _set(self, "_min_score", _check_min_score(min_score))
        _set(self, "_include_prefix_nodes", _check_prefix_nodes(include_prefix_nodes))
        _set(self, "_any_word", _check_flag(any_word, "any_word"))
        _set(self, "_fill", _check_fill(fill))
        _set(self, "_suggestions", _check_count(suggestions, "suggestions"))

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError("Autocomplete is immutable")

    # -- the settings -------------------------------------------------------

    @property
    def index(self) -> PrefixSearch:
        """The index as a :class:`PrefixSearch` (see :attr:`StoredIndex.index`:
        a mapped index is decoded on first use)."""
        return self._stored.index

    @property
    def search_index(self) -> SearchIndex:
        """The index the completions run on: mapped when the file allows."""
        return self._stored.search

    @property
    def metadata(self) -> Optional[IndexMetadata]:
        """The index file's metadata, or None."""
        return self._stored.metadata

    @property
    def normalization(self) -> Normalization:
        return self._normalization

    @property
    def limit(self) -> Optional[int]:
        return self._limit

    @property
    def max_dist(self) -> EditBudget:
        return self._max_dist

    @property
    def min_score(self) -> Optional[float]:
        return self._min_score

    @property
    def include_prefix_nodes(self) -> bool:
        return self._include_prefix_nodes

    @property
    def terms(self) -> Optional[TermIndex]:
        """The term index, or None (matching from the start of terms only)."""
        return self._stored.terms

    @property
    def any_word(self) -> bool:
        return self._any_word

    @property
    def fill(self) -> str:
        return self._fill

    @property
    def suggestions(self) -> int:
        return self._suggestions

    def edits_for(self, query: str, max_dist: EditBudget = None) -> int:
        """Edits that :meth:`complete` allows for the normalised ``query``."""
        budget = self._max_dist if max_dist is None else _check_budget(max_dist)
        length = len(query)
        if budget is None:
            return typing_max_dist(length)
        if isinstance(budget, int):
            return budget
        return _check_edits(budget(length))

    # -- searching ----------------------------------------------------------

    def warm_up(self) -> None:
        """Derive now what the index otherwise derives on its first searches
        with edits (a reversed-term trie, about half the index's size).

        A server calls this before it forks its workers, so that they share
        the derived data instead of each building a copy while a user waits.
        A mapped index has it stored in its file already.
        """
        if self._stored.mapped:
            return
        # Any term search with an edit over four or more letters needs it.
        self._stored.search.fuzzy_match("warm", 1, 1)

    def complete(
        self,
        text: str,
        *,
        limit: Optional[int] = None,
        max_dist: EditBudget = None,
        min_score: Optional[float] = None,
        include_prefix_nodes: Optional[bool] = None,
        any_word: Optional[bool] = None,
        fill: Optional[str] = None,
        suggestions: Optional[int] = None,
    ) -> Completion:
        """The best videos and suggested searches for ``text`` as typed so
        far. A trailing space marks the last word as finished: it then
        matches whole words only.

        Keywords left as None take the object's settings. Raises TypeError
        for a ``text`` that is not a str and ValueError for one that cannot
        be searched (a lone surrogate) or is longer than MAX_TEXT_LENGTH
        characters (which bounds the time normalising it takes; no search
        box needs that much).
        """
        if not isinstance(text, str):
            raise TypeError(f"text must be a str, not {type(text).__name__}")
        if len(text) > MAX_TEXT_LENGTH:
            raise ValueError(
                f"text of {len(text):,} characters is longer than the "
                f"{MAX_TEXT_LENGTH:,} a query may have"
            )
        query = self._normalization(text)
        if not query.isascii():
            try:
                query.encode("utf-8")
            except UnicodeEncodeError:
                raise ValueError(f"text {excerpt(text)} contains a lone surrogate") from None
        if not query:
            return Completion(query, False, [])
        limit = self._limit if limit is None else _check_limit(limit)
        min_score = self._min_score if min_score is None else _check_min_score(min_score)
        if min_score is None:
            min_score = DEFAULT_MIN_SCORE
        prefixes = (
            self._include_prefix_nodes
            if include_prefix_nodes is None
            else _check_prefix_nodes(include_prefix_nodes)
        )
        any_word = self._any_word if any_word is None else _check_flag(any_word, "any_word")
        fill = self._fill if fill is None else _check_fill(fill)
        wanted = (
            self._suggestions if suggestions is None else _check_count(suggestions, "suggestions")
        )
        finished = text[-1:].isspace()
        edits = self.edits_for(query, max_dist)
        index = self._stored.search
        # A finished last word is followed by a space in every term that
        # continues after it; the term that ends with it comes word by word.
        searched = query.rstrip() + " " if finished else query
        # What was typed is usually right: the videos of the node that spells
        # the query come first, and matches that need edits only fill the
        # list up. Measured on simulated typing, this beats scoring both
        # together, where a popular neighbour one edit away ("git" for
        # "guit") crowds out a half-typed term.
        exact = index.fuzzy_match_video(searched, 0, limit, prefixes, min_score)
        exact.sort(key=_by_score_then_video)
        if finished:
            # The term that the finished text spells comes before the terms
            # that go on after it.
            own = index.fuzzy_match_video(searched[:-1], 0, limit, False, min_score)
            own.sort(key=_by_score_then_video)
            exact = own + exact
        results: List[Suggestion] = []
        seen: Set[str] = set()
        _extend(results, seen, limit, ((v, sc, False, "start") for v, sc in exact))
        hits: List[_TermRow] = []
        typed_rows: List[_VideoRow] = []
        corrected_rows: List[_VideoRow] = []
        if any_word:
            hits, typed_rows, corrected_rows = self._term_hits(
                query, finished, max_dist, limit, wanted, min_score
            )

        def start_corrected() -> None:
            if not edits or (limit is not None and len(results) >= limit):
                return
            fuzzy = index.fuzzy_match_video(
                searched, edits, None if limit is None else limit + len(seen), prefixes, min_score
            )
            fuzzy.sort(key=_by_score_then_video)
            _extend(results, seen, limit, ((v, sc, True, "start") for v, sc in fuzzy))

        if fill == "typed-first":
            _extend(results, seen, limit, typed_rows)
            start_corrected()
        else:
            start_corrected()
            _extend(results, seen, limit, typed_rows)
        _extend(results, seen, limit, corrected_rows)
        corrected = bool(results) and all(r.corrected for r in results)
        return Completion(query, corrected, results, _suggested(hits, wanted))

    def _term_hits(
        self,
        query: str,
        finished: bool,
        max_dist: EditBudget,
        limit: Optional[int],
        wanted: int,
        min_score: float,
    ) -> Tuple[List[_TermRow], List[_VideoRow], List[_VideoRow]]:
        """The terms that reach every typed word, best first, and the videos
        they lead to: those of the terms every typed word reaches unchanged
        from another word or in another order, and those of the corrected
        ones. Each term lists its own node's videos (without edits), the
        first ``limit`` terms' best videos first, then each one's second,
        and so on."""
        terms = self._stored.terms
        words = [w for w in query.split(" ") if w]
        if (
            terms is None
            or not 1 <= len(words) <= _MAX_WORDS
            or any(len(w) > _MAX_WORD_LENGTH for w in words)
        ):
            return [], [], []
        budgets = [min(self.edits_for(w, max_dist), 3) for w in words]
        rows = max(wanted, DEFAULT_LIMIT if limit is None else limit)
        return terms.search_videos(
            self._stored.index,
            words,
            budgets,
            min(self.edits_for(query, max_dist), 3),
            False,
            finished,
            _CANDIDATES,
            rows,
            DEFAULT_LIMIT if limit is None else limit,
            limit,
            min_score,
        )

    # -- pickling -----------------------------------------------------------

    def __reduce__(self) -> Tuple[Callable[..., "Autocomplete"], Tuple[object, ...]]:
        return _restore, (
            self._stored,
            self._limit,
            self._max_dist,
            self._min_score,
            self._include_prefix_nodes,
            self._normalization.name,
            self._any_word,
            self._fill,
            self._suggestions,
        )

    def __repr__(self) -> str:
        return (
            f"<Autocomplete normalization={self._normalization.name!r} "
            f"limit={self._limit!r} max_dist={self._max_dist!r}>"
        )


def _restore(
    source: StoredIndex,
    limit: Optional[int],
    max_dist: EditBudget,
    min_score: Optional[float],
    include_prefix_nodes: bool,
    normalization: str,
    any_word: bool = True,
    fill: str = DEFAULT_FILL,
    suggestions: int = DEFAULT_SUGGESTIONS,
) -> Autocomplete:
    return Autocomplete(
        source,
        limit=limit,
        max_dist=max_dist,
        min_score=min_score,
        include_prefix_nodes=include_prefix_nodes,
        normalization=normalization,
        any_word=any_word,
        fill=fill,
        suggestions=suggestions,
    )


def _extend(
    results: List[Suggestion],
    seen: Set[str],
    limit: Optional[int],
    rows: Iterable[Tuple[str, float, bool, str]],
) -> None:
    """Append the rows whose videos are not yet listed, up to ``limit``."""
    for video, score, corrected, how in rows:
        if limit is not None and len(results) >= limit:
            return
        if video not in seen:
            seen.add(video)
            results.append(Suggestion(video, score, corrected, how))


def _suggested(hits: Sequence[_TermRow], wanted: int) -> List[SearchSuggestion]:
    return [
        SearchSuggestion(
            text,
            count,
            HOWS[how],
            corrected,
            tuple(zip(ranges[0::2], ranges[1::2])),
        )
        for _, text, count, how, corrected, ranges in hits[:wanted]
    ]


def _by_score_then_video(row: Tuple[str, float]) -> Tuple[float, str]:
    return -row[1], row[0]


def _check_limit(limit: object) -> Optional[int]:
    if limit is None:
        return None
    if isinstance(limit, bool) or not isinstance(limit, int):
        raise TypeError(f"limit must be an int or None, not {type(limit).__name__}")
    if not 0 <= limit <= 4294967295:
        raise ValueError(f"limit {limit} is outside 0..4294967295")
    return limit


def _check_edits(edits: object) -> int:
    if isinstance(edits, bool) or not isinstance(edits, int):
        raise TypeError(f"max_dist must be an int, not {type(edits).__name__}")
    if not 0 <= edits <= 65535:
        raise ValueError(f"max_dist {edits} is outside 0..65535")
    return edits


def _check_budget(budget: object) -> EditBudget:
    if budget is None or callable(budget):
        return cast(EditBudget, budget)
    return _check_edits(budget)


def _check_min_score(min_score: object) -> Optional[float]:
    if min_score is None:
        return None
    if isinstance(min_score, bool) or not isinstance(min_score, (int, float)):
        raise TypeError(f"min_score must be a number or None, not {type(min_score).__name__}")
    return float(min_score)


def _check_flag(value: object, name: str) -> bool:
    if not isinstance(value, bool):
        raise TypeError(f"{name} must be True or False, not {type(value).__name__}")
    return value


def _check_fill(value: object) -> str:
    if not isinstance(value, str) or value not in FILL_ORDERS:
        raise ValueError(f"fill must be one of {', '.join(FILL_ORDERS)}, not {value!r}")
    return value


def _check_count(value: object, name: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if not 0 <= value <= 1000:
        raise ValueError(f"{name} {value} is outside 0..1000")
    return value


def _check_prefix_nodes(value: object) -> bool:
    if not isinstance(value, bool):
        raise TypeError(f"include_prefix_nodes must be True or False, not {type(value).__name__}")
    return value
