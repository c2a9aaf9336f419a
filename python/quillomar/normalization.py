"""Text normalisation applied to terms as they enter an index.

``none`` keeps terms as given; ``default`` applies NFKC, case folding, and
turns runs of white space into one space, stripping both ends.
"""

from __future__ import annotations

import unicodedata
from typing import Callable, Dict, Union

__all__ = ["Normalization", "get_normalization"]


class Normalization:
    """A named, pure function from str to str."""

    def __init__(self, name: str, function: Callable[[str], str]) -> None:
        self.name = name
        self._function = function

    def __call__(self, text: str) -> str:
        return self._function(text)

    def __repr__(self) -> str:
        return f"Normalization({self.name!r})"


def _default(text: str) -> str:
    if text.isascii():
        return " ".join(text.lower().split())
    return " ".join(unicodedata.normalize("NFKC", text).casefold().split())


_NAMED: Dict[str, Normalization] = {
    "none": Normalization("none", lambda text: text),
    "default": Normalization("default", _default),
}


def get_normalization(name_or_obj: Union[str, Normalization]) -> Normalization:
    """The normalisation of that name, or the object itself."""
    if isinstance(name_or_obj, Normalization):
        return name_or_obj
    try:
        return _NAMED[name_or_obj]
    except (KeyError, TypeError):
        raise ValueError(
            f"unknown normalization {name_or_obj!r}; expected one of "
            f"{', '.join(sorted(_NAMED))}"
        ) from None
