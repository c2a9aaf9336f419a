"""How text is normalised before it is indexed or searched.

The index compares code points exactly, so "Guitar", "GUITAR" and
"guitar" are different texts to it. A normalisation maps all the ways of
writing one text to a single form; applying the same one to the terms when
an index is built and to every query makes them meet.

Three normalisations are defined:

``"default"``
    Unicode NFKC (full-width and other compatibility forms become their
    ordinary letters, ligatures are split, precomposed letters are used),
    full case folding (:meth:`str.casefold`: "ß" and "ẞ" become "ss"),
    NFKC once more (case folding can leave a letter and its combining mark
    apart, which the second pass joins again, so that normalising twice
    gives the same text as normalising once), then every run of white space
    (as :meth:`str.split` sees it: spaces, tabs, line breaks, no-break and
    other Unicode spaces) becomes one space, with none at either end. For
    ASCII text this is exactly ``" ".join(text.lower().split())``.

    Case folding is the language-neutral one: "İ" (capital I with a dot)
    becomes "i" followed by U+0307 COMBINING DOT ABOVE, and "I" becomes "i".

``"fold-accents"``
    ``"default"``, then the combining marks of the diacritic blocks (acute,
    grave, cedilla, umlaut, ring, caron, ...) are removed from the
    decomposed text, so "café" and "cafe" are one term. Marks that other
    scripts need (Indic vowel signs and viramas, Hebrew and Arabic points)
    are kept. Letters that carry no separable mark ("ø", "ł", "æ") stay.

``"none"``
    The text as it is, code point for code point.

Before ``"default"`` and ``"fold-accents"`` decompose anything, a run of
more than MAX_MARK_RUN combining marks in a row keeps only its first
MAX_MARK_RUN: no script writes more on one letter, and reordering a longer
run takes time that grows with the square of its length.
"""

from __future__ import annotations

import unicodedata
from typing import Callable, Dict, Tuple, Union

__all__ = [
    "DEFAULT_NORMALIZATION",
    "MAX_MARK_RUN",
    "NORMALIZATION_NAMES",
    "Normalization",
    "get_normalization",
]

DEFAULT_NORMALIZATION = "default"
"""The normalisation ``quillomar build`` applies unless told otherwise."""


def _identity(text: str) -> str:
    return text


MAX_MARK_RUN = 30
"""Combining marks in a row that normalisation keeps (those after them in
the same run are dropped)."""


def _cut_mark_runs(text: str) -> str:
    """``text`` with every run of combining marks cut to MAX_MARK_RUN.

    One pass in linear time; a text too short to hold a longer run comes
    back as it is.
    """
    if len(text) <= MAX_MARK_RUN:
        return text
    combining = unicodedata.combining
    kept = []
    run = 0
    for char in text:
        if combining(char):
            run += 1
            if run > MAX_MARK_RUN:
                continue
        else:
            run = 0
        kept.append(char)
    return text if len(kept) == len(text) else "".join(kept)


def _default(text: str) -> str:
    if text.isascii():
        # NFKC changes no ASCII text and casefold() is lower() on it.
        return " ".join(text.lower().split())
    nfkc = unicodedata.normalize
    text = _cut_mark_runs(text)
    return " ".join(nfkc("NFKC", nfkc("NFKC", text).casefold()).split())


# The blocks of combining diacritical marks: accents on Latin, Greek and
# Cyrillic letters, not the marks other scripts write vowels with.
_ACCENT_BLOCKS: Tuple[Tuple[int, int], ...] = (
    (0x0300, 0x036F),  # Combining Diacritical Marks
    (0x1AB0, 0x1AFF),  # ... Extended
    (0x1DC0, 0x1DFF),  # ... Supplement
    (0x20D0, 0x20FF),  # ... for Symbols
    (0xFE20, 0xFE2F),  # Combining Half Marks
)
_DROP_ACCENTS: Dict[int, None] = {cp: None for lo, hi in _ACCENT_BLOCKS for cp in range(lo, hi + 1)}


def _fold_accents(text: str) -> str:
    folded = _default(text)
    if folded.isascii():
        return folded
    bare = unicodedata.normalize("NFKD", folded).translate(_DROP_ACCENTS)
    # Dropping marks can leave white space next to white space (a lone
    # accent between two spaces) or at an end.
    return " ".join(unicodedata.normalize("NFKC", bare).split())


class Normalization:
    """A named text normalisation: call it on a str to normalise it.

    Instances are the module's fixed set, looked up with
    :func:`get_normalization`; they compare and hash by name and pickle as
    their name.
    """

    __slots__ = ("_name", "_function", "_folds_ascii")

    def __init__(
        self, name: str, function: Callable[[str], str], *, folds_ascii: bool = False
    ) -> None:
        self._name = name
        self._function = function
        self._folds_ascii = folds_ascii

    @property
    def name(self) -> str:
        """The name stored in an index file's metadata."""
        return self._name

    @property
    def folds_ascii(self) -> bool:
        """Whether on ASCII text this is exactly ``" ".join(text.lower().split())``
        (the native builder then folds ASCII terms itself)."""
        return self._folds_ascii

    @property
    def is_identity(self) -> bool:
        """Whether this normalisation leaves every text unchanged."""
        return self._function is _identity

    def __call__(self, text: str) -> str:
        if not isinstance(text, str):
            raise TypeError(f"text to normalise must be a str, not {type(text).__name__}")
        return self._function(text)

    def __repr__(self) -> str:
        return f"get_normalization({self._name!r})"

    def __eq__(self, other: object) -> bool:
        if isinstance(other, Normalization):
            return self._name == other._name
        return NotImplemented

    def __hash__(self) -> int:
        return hash(self._name)

    def __reduce__(self) -> Tuple[Callable[[str], "Normalization"], Tuple[str]]:
        return get_normalization, (self._name,)


_BY_NAME: Dict[str, Normalization] = {
    n.name: n
    for n in (
        Normalization("default", _default, folds_ascii=True),
        Normalization("fold-accents", _fold_accents, folds_ascii=True),
        Normalization("none", _identity),
    )
}

NORMALIZATION_NAMES: Tuple[str, ...] = tuple(_BY_NAME)
"""The names :func:`get_normalization` knows."""


def get_normalization(name: Union[str, Normalization, None]) -> Normalization:
    """The :class:`Normalization` called ``name`` (a Normalization is
    returned as it is; None means ``"none"``).

    Raises ValueError for an unknown name and TypeError for anything else.
    """
    if isinstance(name, Normalization):
        return name
    if name is None:
        return _BY_NAME["none"]
    if not isinstance(name, str):
        raise TypeError(
            f"normalization must be a name or a Normalization, not {type(name).__name__}"
        )
    found = _BY_NAME.get(name)
    if found is None:
        known = ", ".join(repr(n) for n in NORMALIZATION_NAMES)
        raise ValueError(f"unknown normalization {name!r} (known: {known})")
    return found
