"""The search-box object: what a page sends as the user types, ranked videos back.

``Autocomplete`` wraps an index with the choices a search box needs: the
query is normalised (case folded, runs of white space made one space), the
number of edits allowed grows with what has been typed, half-typed words
reach the videos of the terms they begin, and each answer says whether it
had to be corrected.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import List, Optional, Union

from _quillomar import PrefixSearch

from .storage import load

__all__ = ["Autocomplete", "Completion", "Normalization", "Suggestion"]

IndexOrPath = Union[PrefixSearch, str, "os.PathLike[str]"]


@dataclass(frozen=True)
class Normalization:
    """Case folding and white space collapsed to single spaces."""

    name: str = "default"

    def __call__(self, text: str) -> str:
        return " ".join(text.casefold().split())


@dataclass(frozen=True)
class Suggestion:
    video: str
    score: float
    corrected: bool


@dataclass(frozen=True)
class Completion:
    query: str
    corrected: bool
    results: List[Suggestion]


def typing_max_dist(query: str) -> int:
    """Edits allowed for a query of this length: none for one or two
    characters (anything is a typo of them), one up to five, then two."""
    if len(query) <= 2:
        return 0
    return 1 if len(query) <= 5 else 2


class Autocomplete:
    """Ranked videos for what has been typed so far; immutable, so one
    object serves any number of threads."""

    def __init__(self, index_or_path: IndexOrPath, *, limit: int = 10,
                 max_dist: Optional[int] = None,
                 min_score: Optional[float] = None,
                 include_prefix_nodes: bool = True,
                 normalization: Optional[Normalization] = None) -> None:
        if isinstance(index_or_path, PrefixSearch):
            self.index = index_or_path
        else:
            self.index = load(index_or_path)
        self.limit = limit
        self.max_dist = max_dist
        self.min_score = min_score
        self.include_prefix_nodes = include_prefix_nodes
        self.normalization = normalization or Normalization()
        self.metadata: object = None

    def complete(self, text: str, *, limit: Optional[int] = None,
                 max_dist: Optional[int] = None,
                 min_score: Optional[float] = None,
                 include_prefix_nodes: Optional[bool] = None) -> Completion:
        query = self.normalization(text)
        if max_dist is None:
            max_dist = self.max_dist
        if max_dist is None:
            max_dist = typing_max_dist(query)
        prefixes = (self.include_prefix_nodes if include_prefix_nodes is None
                    else include_prefix_nodes)
        cut = self.limit if limit is None else limit
        score_floor = self.min_score if min_score is None else min_score
        exact = self.index.fuzzy_match_video(query, 0, cut, True, score_floor)
        found = exact if max_dist == 0 else self.index.fuzzy_match_video(
            query, max_dist, cut, prefixes, score_floor)
        exact_videos = {video for video, _ in exact}
        return Completion(
            query=query,
            corrected=not exact,
            results=[Suggestion(video, score, video not in exact_videos)
                     for video, score in found])
