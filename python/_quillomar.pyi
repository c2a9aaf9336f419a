"""Type stub of the native extension module ``_quillomar``."""

from typing import List, Optional, Sequence, SupportsFloat, SupportsIndex, Tuple, Union, final

_PayloadTuple = Tuple[SupportsIndex, Sequence[SupportsIndex], Sequence[SupportsIndex]]

__all__: List[str]

@final
class PrefixSearch:
    """A read-only trie index of search terms with per-node video statistics.

    Instances come only from the two static constructors; ``PrefixSearch()``
    raises TypeError.
    """

    @staticmethod
    def from_internal_data_v2(
        node_shifts: Sequence[SupportsIndex],
        child_labels: Sequence[str],
        payloads: Sequence[Optional[_PayloadTuple]],
        child_transitions: Sequence[SupportsIndex],
        video_index: Sequence[Union[bytes, Sequence[SupportsIndex]]],
        video_top_n: SupportsIndex,
    ) -> PrefixSearch: ...
    def to_bytes(self) -> bytes: ...
    @staticmethod
    def from_bytes(b: bytes) -> PrefixSearch: ...
    def fuzzy_match(
        self,
        term: str,
        max_dist: SupportsIndex = 1,
        limit: Optional[SupportsIndex] = None,
    ) -> List[Tuple[str, int, int]]: ...
    def fuzzy_match_video(
        self,
        term: str,
        max_dist: SupportsIndex = 1,
        limit: Optional[SupportsIndex] = None,
        include_prefix_nodes: Optional[bool] = None,
        min_score: Optional[Union[SupportsFloat, SupportsIndex]] = None,
    ) -> List[Tuple[str, float]]: ...
