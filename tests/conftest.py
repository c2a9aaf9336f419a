import pytest

from _quillomar import PrefixSearch

# The encoding of an index with no nodes, no child slots and no videos.
EMPTY_INDEX_BYTES = bytes(8)


@pytest.fixture
def empty_index() -> PrefixSearch:
    return PrefixSearch.from_bytes(EMPTY_INDEX_BYTES)
