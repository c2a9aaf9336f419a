import os

import pytest
from hypothesis import HealthCheck, settings

from _quillomar import PrefixSearch

# Timing never decides a test: no deadlines, and no health check that fails
# a run for being slow on a busy or instrumented machine. "quick" serves the
# very slow valgrind run.
settings.register_profile("default", deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.register_profile(
    "quick",
    max_examples=10,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "default"))

# The encoding of an index with no nodes, no child slots and no videos.
EMPTY_INDEX_BYTES = bytes(8)


@pytest.fixture
def empty_index() -> PrefixSearch:
    return PrefixSearch.from_bytes(EMPTY_INDEX_BYTES)
