"""PrefixSearch pickles (and copies) once quillomar is imported."""

import copy
import multiprocessing
import operator
import pickle
import subprocess
import sys
import uuid

import pytest

import quillomar
from quillomar import IndexBuilder, PrefixSearch


@pytest.fixture(scope="module", params=["int", "uuid"])
def index(request):
    def video(n):
        return n if request.param == "int" else uuid.UUID(int=n)

    builder = IndexBuilder()
    for i, term in enumerate(["cat", "car", "cart", "dog", "dot"]):
        builder.add(term, video(i + 10), 5 + i)
        builder.add(term, video(99), 1)
    return builder.build(top_n=3)


def answers(index):
    return (
        index.fuzzy_match("ca", 1),
        index.fuzzy_match_video("ca", 1),
        index.fuzzy_match_video("do", 1, include_prefix_nodes=True),
    )


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_round_trip(index, protocol):
    again = pickle.loads(pickle.dumps(index, protocol=protocol))
    assert type(again) is PrefixSearch and again is not index
    assert again.to_bytes() == index.to_bytes()
    assert answers(again) == answers(index)


@pytest.mark.parametrize("copier", [copy.copy, copy.deepcopy])
def test_copies(index, copier):
    again = copier(index)
    assert again.to_bytes() == index.to_bytes()


def test_deepcopy_inside_a_container(index):
    box = {"a": index, "b": [index]}
    copied = copy.deepcopy(box)
    assert copied["a"] is copied["b"][0], "the memo keeps shared references shared"
    assert copied["a"].to_bytes() == index.to_bytes()


def test_unpickling_in_a_fresh_process_imports_what_it_needs(index):
    # The child never imports quillomar itself; the pickle names the
    # restoring function, so loading it does.
    code = (
        "import pickle, sys\n"
        "index = pickle.loads(sys.stdin.buffer.read())\n"
        "sys.stdout.buffer.write(index.to_bytes())\n"
    )
    out = subprocess.run(
        [sys.executable, "-c", code], input=pickle.dumps(index), capture_output=True, check=True
    )
    assert out.stdout == index.to_bytes()


def test_indexes_pass_to_multiprocessing_workers(index):
    context = multiprocessing.get_context("spawn")
    with context.Pool(2) as pool:
        got = pool.map(operator.methodcaller("fuzzy_match_video", "ca", 1), [index, index])
    assert got == [index.fuzzy_match_video("ca", 1)] * 2


def test_registration_is_what_makes_it_work():
    # Without the copyreg entry the type cannot be pickled at all.
    import copyreg

    saved = copyreg.dispatch_table.pop(PrefixSearch)
    try:
        with pytest.raises(TypeError):
            pickle.dumps(quillomar.build_index([("a", 1, 1)]))
    finally:
        copyreg.dispatch_table[PrefixSearch] = saved
