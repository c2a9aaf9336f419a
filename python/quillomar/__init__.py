"""Typo-tolerant prefix search over a compact character trie."""

from _quillomar import PrefixSearch

__all__ = ["PrefixSearch"]
